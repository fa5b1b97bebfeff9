// What pages may do beyond showing themselves: permission requests answered by the user
// in a bar of the asking tab, remembered per site; the answers also answer the page's
// queries and the engine's notification permissions, and allowed notifications go to
// the desktop.
#include "browser/BrowserWindowController.h"
#include "permissions/SitePermissions.h"
#include "platform/Log.h"
#include "platform/Url.h"

#include <giomm/notification.h>

#include <algorithm>

namespace quillmere {

namespace {

// The kinds a request stands for, as they are remembered, and what the bar says.
struct Question {
    std::vector<std::string> kinds;
    std::string wants; // "<host> wants to …"
};

std::optional<Question> questionFor(WebKitPermissionRequest* request)
{
    if (WEBKIT_IS_NOTIFICATION_PERMISSION_REQUEST(request))
        return Question {{"notifications"}, "show notifications"};
    if (WEBKIT_IS_GEOLOCATION_PERMISSION_REQUEST(request))
        return Question {{"geolocation"}, "know your location"};
    if (WEBKIT_IS_POINTER_LOCK_PERMISSION_REQUEST(request))
        return Question {{"pointer-lock"}, "hide your pointer"};
    if (WEBKIT_IS_CLIPBOARD_PERMISSION_REQUEST(request))
        return Question {{"clipboard"}, "read your clipboard"};
    if (WEBKIT_IS_USER_MEDIA_PERMISSION_REQUEST(request)) {
        auto* media = WEBKIT_USER_MEDIA_PERMISSION_REQUEST(request);
        if (webkit_user_media_permission_is_for_display_device(media))
            return Question {{"screen"}, "share your screen"};
        const bool camera = webkit_user_media_permission_is_for_video_device(media);
        const bool microphone = webkit_user_media_permission_is_for_audio_device(media);
        if (camera && microphone)
            return Question {{"camera", "microphone"}, "use your camera and microphone"};
        if (camera)
            return Question {{"camera"}, "use your camera"};
        if (microphone)
            return Question {{"microphone"}, "use your microphone"};
    }
    return std::nullopt;
}

// What the settings window and logs call a kind.
const char* kindName(WebKitPermissionRequest* request)
{
    if (WEBKIT_IS_WEBSITE_DATA_ACCESS_PERMISSION_REQUEST(request))
        return "storage access";
    if (WEBKIT_IS_MEDIA_KEY_SYSTEM_PERMISSION_REQUEST(request))
        return "media keys";
    if (WEBKIT_IS_DEVICE_INFO_PERMISSION_REQUEST(request))
        return "device information";
    return G_OBJECT_TYPE_NAME(request);
}

// "scheme://host[:port]" of a page's address, as the engine names origins.
std::string originOf(const std::string& uri)
{
    WebKitSecurityOrigin* origin = webkit_security_origin_new_for_uri(uri.c_str());
    if (!origin)
        return "";
    GCharPtr text(webkit_security_origin_to_string(origin));
    webkit_security_origin_unref(origin);
    return text ? text.get() : "";
}

} // namespace

void BrowserWindowController::startPermissions()
{
    sitePermissions_ = std::make_unique<SitePermissions>(profile_);
    std::weak_ptr<BrowserWindowController> weakSelf = weak_from_this();
    sitePermissions_->onLoaded = [weakSelf] {
        if (auto self = weakSelf.lock())
            self->seedNotificationPermissions();
    };
    // Every new web process learns the answers; they may still be on their way.
    notificationSeedHandler_ = g_signal_connect(webkit_web_context_get_default(),
        "initialize-notification-permissions",
        G_CALLBACK(+[](WebKitWebContext*, BrowserWindowController* self) { self->seedNotificationPermissions(); }),
        this);
}

void BrowserWindowController::seedNotificationPermissions()
{
    GList* allowed = nullptr;
    GList* denied = nullptr;
    for (const auto& entry : sitePermissions_->entries()) {
        if (entry.kind != "notifications" || entry.origin.empty())
            continue;
        if (WebKitSecurityOrigin* origin = webkit_security_origin_new_for_uri(entry.origin.c_str()))
            (entry.allowed ? allowed : denied) = g_list_prepend(entry.allowed ? allowed : denied, origin);
    }
    webkit_web_context_initialize_notification_permissions(webkit_web_context_get_default(), allowed, denied);
    g_list_free_full(allowed, reinterpret_cast<GDestroyNotify>(webkit_security_origin_unref));
    g_list_free_full(denied, reinterpret_cast<GDestroyNotify>(webkit_security_origin_unref));
}

void BrowserWindowController::tabWantsPermission(Tab& tab, WebKitPermissionRequest* request)
{
    const std::string host = hostOf(tab.committedURI().c_str());
    auto question = questionFor(request);
    if (!question) {
        // A page may list devices only where it may already use a camera or microphone.
        if (WEBKIT_IS_DEVICE_INFO_PERMISSION_REQUEST(request)
            && (sitePermissions_->answer(host, "camera").value_or(false)
                || sitePermissions_->answer(host, "microphone").value_or(false))) {
            webkit_permission_request_allow(request);
            return;
        }
        quillmereLog.info("Denied a request for %{public}s from %{public}s", kindName(request), host);
        webkit_permission_request_deny(request);
        return;
    }
    // Asked before: the same answer, without asking again.
    std::optional<bool> remembered;
    for (const auto& kind : question->kinds) {
        auto answer = sitePermissions_->answer(host, kind);
        remembered = !answer || (remembered && *remembered != *answer) ? std::nullopt : answer;
        if (!remembered)
            break;
    }
    if (remembered) {
        *remembered ? webkit_permission_request_allow(request) : webkit_permission_request_deny(request);
        return;
    }
    std::weak_ptr<BrowserWindowController> weakSelf = weak_from_this();
    const std::string origin = originOf(tab.committedURI());
    tab.ask((host.empty() ? std::string("This page") : host) + " wants to " + question->wants,
        [weakSelf, held = std::shared_ptr<WebKitPermissionRequest>(retain(request)), kinds = question->kinds, host, origin](std::optional<bool> answer) {
            const bool allowed = answer.value_or(false);
            allowed ? webkit_permission_request_allow(held.get()) : webkit_permission_request_deny(held.get());
            // A tab that closed or moved on says "no" for now; nothing is remembered.
            auto self = weakSelf.lock();
            if (!self || !answer)
                return;
            for (const auto& kind : kinds)
                self->sitePermissions_->remember(host, kind, allowed, origin);
            if (std::find(kinds.begin(), kinds.end(), "notifications") != kinds.end())
                self->seedNotificationPermissions();
        });
}

bool BrowserWindowController::tabQueriesPermission(Tab&, WebKitPermissionStateQuery* query)
{
    const std::string name = webkit_permission_state_query_get_name(query);
    if (name != "notifications" && name != "geolocation" && name != "camera" && name != "microphone")
        return false;
    WebKitSecurityOrigin* origin = webkit_permission_state_query_get_security_origin(query);
    const char* host = origin ? webkit_security_origin_get_host(origin) : nullptr;
    auto answer = host ? sitePermissions_->answer(host, name) : std::nullopt;
    webkit_permission_state_query_finish(query,
        !answer ? WEBKIT_PERMISSION_STATE_PROMPT
                : *answer ? WEBKIT_PERMISSION_STATE_GRANTED
                          : WEBKIT_PERMISSION_STATE_DENIED);
    return true;
}

void BrowserWindowController::tabShowsNotification(Tab& tab, WebKitNotification* notification)
{
    if (!sitePermissions_->answer(hostOf(tab.committedURI().c_str()), "notifications").value_or(false))
        return;
    auto shown = Gio::Notification::create(webkit_notification_get_title(notification));
    if (const char* body = webkit_notification_get_body(notification))
        shown->set_body(body);
    application_->send_notification("page-" + std::to_string(webkit_notification_get_id(notification)), shown);
}

} // namespace quillmere
