#pragma once

#include <cstdint>
#include <string>

// The console's pending diagnostic verdicts. A button sets its flag; the
// next received frame that is shown prints the verdicts and clears them all.
struct DiagPending {
    bool bWaitVersion = false;
    bool bWaitReaderId = false;
    bool bWaitPowerOn = false;
    bool bWaitPowerOff = false;
};

// The one-click commands, in the order of their buttons.
enum DiagCommand : int {
    DIAG_VERSION = 0,    // "程序版本"
    DIAG_READER_ID = 1,  // "读写器ID"
    DIAG_POWER_ON = 2,   // "卡片上电"
    DIAG_POWER_OFF = 3,  // "卡片下电"
    DIAG_PCSC_SET = 4,   // "设置PC/SC"
    DIAG_PCSC_CLEAR = 5, // "取消PC/SC"
    DIAG_COMMAND_COUNT = 6
};

// Every diagnostic request goes to this machine number.
constexpr uint8_t DIAG_MACHINE = 0xFF;
// Largest diagnostic request frame.
constexpr int DIAG_FRAME_MAX = 9;

// The caption of cmd's button; nullptr for an unknown command.
const char* DiagCaption(int cmd);

// The command byte of cmd (0x00-0xFF); -1 for an unknown command.
int DiagCommandByte(int cmd);

// Builds cmd's request frame to machine 0xFF into out (DIAG_FRAME_MAX bytes
// suffice). Returns the frame length (8 or 9), or -1 for an unknown command
// with out untouched.
int BuildDiagFrame(int cmd, uint8_t* out);

// Sets the flag whose verdict cmd waits for (the PC/SC commands wait for the
// firmware verdict); the other flags stay. Returns false for an unknown
// command, pending untouched.
bool SetDiagPending(int cmd, DiagPending& pending);

// True when at least one verdict is pending.
bool AnyDiagPending(const DiagPending& pending);

// The verdict texts of the pending flags, in the order version, reader ID,
// power on, power off; lengthLow is the low byte of the shown reply's length
// field (power on succeeds at 2 or more). Empty when nothing is pending.
std::string DiagVerdictText(const DiagPending& pending, uint8_t lengthLow);
