#pragma once

// The program-wide objects are built before main in one fixed order (and destroyed in the
// reverse one), whichever library defines them: line readiness, statistics, settings, alarms,
// users, SMTP settings.
namespace GlobalsOrder {
enum Priority {
    LineReady = 1001,
    Stats = 1002,
    Settings = 1003,
    Alarms = 1004,
    Users = 1005,
    Smtp = 1006,
};
}

#define DALVORAN_INIT_ORDER(priority) __attribute__((init_priority(priority)))
