// The real program started inside a benchmark's process, on a homepage, with a bundle of
// its own and no rules document, so that nothing is compiled at launch. The bundle links
// to the build's web process extension.
#pragma once

#include "app/AppDelegate.h"
#include "browser/BrowserWindowController.h"
#include "platform/Bundle.h"
#include "platform/UserDefaults.h"

#include <libsoup/soup.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <string>

namespace quillmere::bench {

class InProcessBrowser {
public:
    // `prepare` may put files in the bundle before the program starts.
    explicit InProcessBrowser(
        const std::string& homepage, const std::function<void(const std::string& bundle)>& prepare = {})
    {
        char* bundle = g_dir_make_tmp("quillmere-bench-XXXXXX", nullptr);
        setBundleDirectory(bundle);
        const std::string lib = std::string(bundle) + "/lib/quillmere";
        g_mkdir_with_parents(lib.c_str(), 0700);
        symlink(QUILLMERE_WEB_PROCESS_EXTENSIONS, (lib + "/web-process-extensions").c_str());
        if (prepare)
            prepare(bundle);
        g_free(bundle);
        UserDefaults::standard().setString(kHomepageKey, homepage);
        application_ = AppDelegate::createApplication();
        delegate_ = std::make_unique<AppDelegate>(application_);
        application_->register_application();
        application_->activate();
    }

    BrowserWindowController& browser() { return *delegate_->controller(); }

private:
    Glib::RefPtr<Gtk::Application> application_;
    std::unique_ptr<AppDelegate> delegate_;
};

// Serves `handle` from a thread of its own, so that the server's work is not counted as
// the browser's and never delays the browser's main loop; answers the port.
inline int serveOnOwnThread(SoupServerCallback handle)
{
    struct Serving {
        GMutex lock;
        GCond ready;
        SoupServerCallback handle;
        int port = 0;
    };
    auto* serving = new Serving {{}, {}, handle}; // lives as long as the server, the process
    g_mutex_init(&serving->lock);
    g_cond_init(&serving->ready);
    g_thread_new(
        "server",
        +[](gpointer data) -> gpointer {
            auto* serving = static_cast<Serving*>(data);
            GMainContext* context = g_main_context_new();
            g_main_context_push_thread_default(context);
            SoupServer* server = soup_server_new(nullptr, nullptr);
            soup_server_add_handler(server, nullptr, serving->handle, nullptr, nullptr);
            soup_server_listen_local(server, 0, SOUP_SERVER_LISTEN_IPV4_ONLY, nullptr);
            GSList* uris = soup_server_get_uris(server);
            g_mutex_lock(&serving->lock);
            serving->port = g_uri_get_port(static_cast<GUri*>(uris->data));
            g_cond_signal(&serving->ready);
            g_mutex_unlock(&serving->lock);
            g_slist_free_full(uris, reinterpret_cast<GDestroyNotify>(g_uri_unref));
            for (;;)
                g_main_context_iteration(context, TRUE);
            return nullptr;
        },
        serving);
    g_mutex_lock(&serving->lock);
    while (serving->port == 0)
        g_cond_wait(&serving->ready, &serving->lock);
    const int port = serving->port;
    g_mutex_unlock(&serving->lock);
    return port;
}

} // namespace quillmere::bench
