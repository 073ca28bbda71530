#pragma once

// The channel kinds, in the order of the console's channel list.
enum ChannelKind : int { CH_SERIAL = 0, CH_MODEM = 1, CH_TCP = 2, CH_UDP = 3 };

// The worker's operations.
enum OpKind : int { OP_EXCHANGE = 0, OP_DOWNLOAD = 1, OP_RAW_RECEIVE = 2 };
