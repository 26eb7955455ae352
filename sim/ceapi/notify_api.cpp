// The platform's user-notification calls: registrations made, listed, read back and cleared, and
// the requests to run an application at a time.
#include <notify.h>

#include <cstring>
#include <string>
#include <vector>

#include "kernel_objects.h"
#include "notifydb.h"

// The records are the platform's 32-bit layouts; the information buffer below is laid out with
// these sizes, and callers check dwSize against them.
static_assert(sizeof(CE_NOTIFICATION_TRIGGER) == 52, "CE_NOTIFICATION_TRIGGER is 52 bytes on the device");
static_assert(sizeof(CE_USER_NOTIFICATION) == 24, "CE_USER_NOTIFICATION is 24 bytes on the device");
static_assert(sizeof(CE_NOTIFICATION_INFO_HEADER) == 16,
              "CE_NOTIFICATION_INFO_HEADER is 16 bytes on the device");

namespace sim {

namespace {

// What the application is started with when a CeRunAppAtTime request comes due.
constexpr const char* kRunAtTimeArgument = "AppRunAtTime";

std::optional<std::string> optUtf8(const WCHAR* s) {
    return s ? std::optional<std::string>(toUtf8(s)) : std::nullopt;
}

HANDLE handleOf(uint32_t h) {
    return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(h));
}

uint32_t handleValue(HANDLE h) {
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(h));
}

// A fault in the board's own files is not something a program on the device could see: stop
// loudly rather than answer from a database we could not read.
template <typename F>
auto guarded(const char* call, F&& f) -> decltype(f()) {
    try {
        return f();
    } catch (const std::exception& e) {
        boardFault(std::string(call) + ": notification database: " + e.what());
    }
}

}  // namespace

}  // namespace sim

using namespace sim;

HANDLE CeSetUserNotificationEx(HANDLE hNotification, CE_NOTIFICATION_TRIGGER* pcnt,
                               CE_USER_NOTIFICATION* pceun) {
    if (!pcnt || pcnt->dwSize != sizeof(CE_NOTIFICATION_TRIGGER) || !pcnt->lpszApplication) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    NotificationRecord r;
    r.type = pcnt->dwType;
    r.event = pcnt->dwType == CNT_EVENT ? pcnt->dwEvent : 0;
    r.application = toUtf8(pcnt->lpszApplication);
    r.arguments = optUtf8(pcnt->lpszArguments);
    // An event trigger has no times; whatever the caller left there is not looked at.
    if (r.type != CNT_EVENT) {
        r.start = fromSystemTime(pcnt->stStartTime);
        r.end = fromSystemTime(pcnt->stEndTime);
    }
    if (pceun) {
        UserNotificationRecord u;
        u.actionFlags = pceun->ActionFlags;
        u.dialogTitle = optUtf8(pceun->pwszDialogTitle);
        u.dialogText = optUtf8(pceun->pwszDialogText);
        u.sound = optUtf8(pceun->pwszSound);
        u.maxSound = pceun->nMaxSound;
        u.reserved = pceun->dwReserved;
        r.user = u;
    }
    if (!notificationRecordProblem(r).empty()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const uint32_t existing = handleValue(hNotification);
    uint32_t result = 0;
    guarded("CeSetUserNotificationEx", [&] {
        Board::current().updateState([&](BoardState& s) {
            if (existing == 0) {
                result = insertNotification(s, r);
                return;
            }
            // Replacing keeps the registration's handle and its place in the list.
            for (NotificationRecord& e : s.notifications.list) {
                if (e.handle == existing) {
                    r.handle = existing;
                    e = r;
                    result = existing;
                    return;
                }
            }
        });
    });
    if (result == 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return handleOf(result);
}

BOOL CeGetUserNotificationHandles(HANDLE* rghNotifications, DWORD cHandles, LPDWORD pcHandlesNeeded) {
    if (!pcHandlesNeeded || (!rghNotifications && cHandles != 0)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const std::vector<NotificationRecord> records =
        guarded("CeGetUserNotificationHandles", [] { return listNotifications(); });
    *pcHandlesNeeded = static_cast<DWORD>(records.size());
    if (!rghNotifications) return TRUE;  // the size query
    if (cHandles < records.size()) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    for (size_t i = 0; i < records.size(); ++i) rghNotifications[i] = handleOf(records[i].handle);
    return TRUE;
}

BOOL CeGetUserNotification(HANDLE hNotification, DWORD cBufferSize, LPDWORD pcBytesNeeded, LPBYTE pBuffer) {
    if (!pcBytesNeeded || (!pBuffer && cBufferSize != 0)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const uint32_t wanted = handleValue(hNotification);
    const std::vector<NotificationRecord> records =
        guarded("CeGetUserNotification", [] { return listNotifications(); });
    const NotificationRecord* r = nullptr;
    for (const NotificationRecord& e : records)
        if (wanted != 0 && e.handle == wanted) r = &e;
    if (!r) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }

    // One block: header, trigger, user notification (if any), then the strings. The record
    // sizes are multiples of 4, so each record is aligned as the device needs; the strings that
    // follow need only 2-byte alignment.
    std::vector<std::optional<std::u16string>> strings;
    auto addString = [&](const std::optional<std::string>& s) {
        strings.push_back(s ? std::optional<std::u16string>(fromUtf8(*s)) : std::nullopt);
    };
    addString(r->application);
    addString(r->arguments);
    if (r->user) {
        addString(r->user->dialogTitle);
        addString(r->user->dialogText);
        addString(r->user->sound);
    }
    size_t needed = sizeof(CE_NOTIFICATION_INFO_HEADER) + sizeof(CE_NOTIFICATION_TRIGGER) +
                    (r->user ? sizeof(CE_USER_NOTIFICATION) : 0);
    for (const auto& s : strings)
        if (s) needed += (s->size() + 1) * sizeof(WCHAR);
    *pcBytesNeeded = static_cast<DWORD>(needed);
    if (cBufferSize < needed) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }

    std::memset(pBuffer, 0, needed);
    auto* header = reinterpret_cast<CE_NOTIFICATION_INFO_HEADER*>(pBuffer);
    auto* trigger = reinterpret_cast<CE_NOTIFICATION_TRIGGER*>(pBuffer + sizeof(CE_NOTIFICATION_INFO_HEADER));
    BYTE* next = pBuffer + sizeof(CE_NOTIFICATION_INFO_HEADER) + sizeof(CE_NOTIFICATION_TRIGGER);
    CE_USER_NOTIFICATION* user = nullptr;
    if (r->user) {
        user = reinterpret_cast<CE_USER_NOTIFICATION*>(next);
        next += sizeof(CE_USER_NOTIFICATION);
    }
    size_t index = 0;
    auto placeString = [&]() -> WCHAR* {
        const auto& s = strings[index++];
        if (!s) return nullptr;
        WCHAR* out = reinterpret_cast<WCHAR*>(next);
        std::memcpy(out, s->c_str(), (s->size() + 1) * sizeof(WCHAR));
        next += (s->size() + 1) * sizeof(WCHAR);
        return out;
    };

    header->hNotification = handleOf(r->handle);
    header->dwStatus = r->status;
    header->pcent = trigger;
    header->pceun = user;
    trigger->dwSize = sizeof(CE_NOTIFICATION_TRIGGER);
    trigger->dwType = r->type;
    trigger->dwEvent = r->event;
    trigger->lpszApplication = placeString();
    trigger->lpszArguments = placeString();
    trigger->stStartTime = toSystemTime(r->start);
    trigger->stEndTime = toSystemTime(r->end);
    if (user) {
        user->ActionFlags = r->user->actionFlags;
        user->pwszDialogTitle = placeString();
        user->pwszDialogText = placeString();
        user->pwszSound = placeString();
        user->nMaxSound = r->user->maxSound;
        user->dwReserved = r->user->reserved;
    }
    return TRUE;
}

BOOL CeClearUserNotification(HANDLE hNotification) {
    const uint32_t handle = handleValue(hNotification);
    bool found = handle != 0 && guarded("CeClearUserNotification", [&] { return clearNotification(handle); });
    if (!found) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

BOOL CeRunAppAtTime(const WCHAR* pwszAppName, SYSTEMTIME* lpTime) {
    if (!pwszAppName || !*pwszAppName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    NotificationRecord r;
    r.type = CNT_TIME;
    r.application = toUtf8(pwszAppName);
    r.arguments = std::string(kRunAtTimeArgument);
    if (lpTime) {
        r.start = fromSystemTime(*lpTime);
        r.end = r.start;
        if (!notificationRecordProblem(r).empty()) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
    }
    const std::string name = asciiLower(r.application);
    guarded("CeRunAppAtTime", [&] {
        Board::current().updateState([&](BoardState& s) {
            // No time cancels everything the application has pending; a time replaces its
            // earlier timed request and leaves its event registrations alone.
            auto& list = s.notifications.list;
            for (size_t i = list.size(); i > 0; --i) {
                const NotificationRecord& e = list[i - 1];
                if (asciiLower(e.application) != name) continue;
                if (!lpTime || e.type == CNT_TIME) list.erase(list.begin() + static_cast<long>(i - 1));
            }
            if (lpTime) insertNotification(s, r);
        });
    });
    return TRUE;
}
