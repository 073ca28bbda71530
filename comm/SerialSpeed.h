#pragma once

// Sets the line speed of the tty fd to any bits-per-second value, standard
// or not (28800). Returns 0, or -1 when the device refuses it.
int SetSerialSpeed(int fd, int bitsPerSecond);

// The output speed of the tty fd in bits per second, or -1 when it cannot
// be read.
int GetSerialSpeed(int fd);
