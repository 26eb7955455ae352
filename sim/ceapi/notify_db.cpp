#include <notify.h>

#include "../board/calendar.h"
#include "notifydb.h"

namespace sim {

namespace {

// The platform's event numbers run from NOTIFICATION_EVENT_TIME_CHANGE (1) to
// NOTIFICATION_EVENT_INTERNET_PROXY_CHANGE (15); NOTIFICATION_EVENT_NONE is no event.
constexpr uint32_t kLastKnownEvent = 15;

}  // namespace

std::string asciiLower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    return s;
}

std::string notificationRecordProblem(const NotificationRecord& r) {
    switch (r.type) {
        case CNT_EVENT:
            if (r.event == NOTIFICATION_EVENT_NONE || r.event > kLastKnownEvent)
                return "unknown event " + std::to_string(r.event);
            break;
        case CNT_TIME:
        case CNT_CLASSICTIME:
            if (!validSysTime(r.start)) return "start time is not a valid date and time";
            break;
        case CNT_PERIOD:
            if (!validSysTime(r.start)) return "start time is not a valid date and time";
            if (!validSysTime(r.end)) return "end time is not a valid date and time";
            break;
        default:
            return "unknown trigger type " + std::to_string(r.type);
    }
    if (r.application.empty()) return "no application";
    return {};
}

uint32_t insertNotification(BoardState& state, NotificationRecord r) {
    NotificationDatabase& db = state.notifications;
    r.handle = db.nextHandle;
    // A null handle means "no notification": the count goes round past it.
    db.nextHandle = db.nextHandle == 0xFFFFFFFFu ? 1 : db.nextHandle + 1;
    db.list.push_back(std::move(r));
    return db.list.back().handle;
}

bool eraseNotification(BoardState& state, uint32_t handle) {
    auto& list = state.notifications.list;
    for (auto it = list.begin(); it != list.end(); ++it) {
        if (it->handle == handle) {
            list.erase(it);
            return true;
        }
    }
    return false;
}

std::vector<NotificationRecord> listNotifications() {
    return Board::current().readState().notifications.list;
}

uint32_t addNotification(const NotificationRecord& record) {
    const std::string problem = notificationRecordProblem(record);
    if (!problem.empty()) throw BoardError("notification refused: " + problem);
    uint32_t handle = 0;
    Board::current().updateState([&](BoardState& s) { handle = insertNotification(s, record); });
    return handle;
}

bool clearNotification(uint32_t handle) {
    bool found = false;
    Board::current().updateState([&](BoardState& s) { found = eraseNotification(s, handle); });
    return found;
}

}  // namespace sim
