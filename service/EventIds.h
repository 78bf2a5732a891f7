// Event ids of the message table compiled into the executable (app/Messages.mc).
#pragma once

enum EventId : unsigned long {
    MsgInstalled = 100,
    MsgRemoved = 101,
    MsgNotRemoved = 102,
    MsgCtrlHandlerNotInstalled = 103,
    MsgInitFailed = 104,
    MsgStarted = 105,
    MsgBadRequest = 106,
    MsgDebug = 107,
    MsgStopped = 108,
    MsgKeysLeft = 109,
    MsgNotStopped = 110,
};
