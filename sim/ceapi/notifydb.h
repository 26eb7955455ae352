// The notification service's database as the board keeps it (state.json, "notifications"), for
// the parts of the simulation that look at it from outside a program (vboard, tests). Programs
// use the platform calls of <notify.h>; both go through the same locked state updates.
#pragma once

#include "layer.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "../board/board.h"

namespace sim {

// The dialog/sound part of a registration (CE_USER_NOTIFICATION); strings UTF-8, absent = null.
struct UserNotificationRecord {
    uint32_t actionFlags = 0;
    std::optional<std::string> dialogTitle;
    std::optional<std::string> dialogText;
    std::optional<std::string> sound;
    uint32_t maxSound = 0;
    uint32_t reserved = 0;
};

// One registration: its trigger (CE_NOTIFICATION_TRIGGER) and, if given, its user notification.
struct NotificationRecord {
    uint32_t handle = 0;      // assigned by the database; stable for the life of the registration
    uint32_t type = 0;        // CNT_EVENT, CNT_TIME, CNT_PERIOD, CNT_CLASSICTIME
    uint32_t event = 0;       // NOTIFICATION_EVENT_... for CNT_EVENT
    std::string application;  // device path, as registered
    std::optional<std::string> arguments;  // absent = no arguments (null pointer)
    SysTime start;                         // time-based triggers
    SysTime end;
    uint32_t status = 0;
    std::optional<UserNotificationRecord> user;
};

// Every registration, oldest first.
std::vector<NotificationRecord> listNotifications();
// Adds a registration with a new handle and returns that handle. The record is checked as the
// platform checks a trigger; a record it would refuse throws BoardError saying why.
uint32_t addNotification(const NotificationRecord& record);
// Removes one registration; false when no registration has that handle.
bool clearNotification(uint32_t handle);

// Why the platform would refuse this trigger (empty: it is acceptable).
std::string notificationRecordProblem(const NotificationRecord& record);

}  // namespace sim
