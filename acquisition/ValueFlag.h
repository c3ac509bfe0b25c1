#pragma once

// The flag stored with every reading: in the value buffers, the archive and the browser's data.
// Every flag other than Valid makes a value invalid for the alarms.
class ValueFlag
{
public:
    enum : int {
        Valid = 0,
        NoValueYet = 1,
        InvalidMarker = 2,      // the device sent its float marker for "no value"
        Timeout = 3,
        ReadError = 4,          // also a TCP line that cannot connect
        NoConnection = 5,       // a serial port that cannot be opened
        SessionBreak = 6,       // written when polling stops
        BrokerNotConnected = 7,
    };

    // The flag for the values of a block whose line result code was not 0: a serial line without
    // connection gives NoConnection, a time-out Timeout, anything else ReadError.
    static int fromLineResult(int code);
};
