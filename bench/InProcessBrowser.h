// The real program started inside a benchmark's process, on a homepage, with a bundle of
// its own and no rules document, so that nothing is compiled at launch. The bundle links
// to the build's web process extension.
#pragma once

#include "app/AppDelegate.h"
#include "browser/BrowserWindowController.h"
#include "platform/Bundle.h"
#include "platform/UserDefaults.h"

#include <unistd.h>

#include <memory>
#include <string>

namespace quillmere::bench {

class InProcessBrowser {
public:
    explicit InProcessBrowser(const std::string& homepage)
    {
        char* bundle = g_dir_make_tmp("quillmere-bench-XXXXXX", nullptr);
        setBundleDirectory(bundle);
        const std::string lib = std::string(bundle) + "/lib/quillmere";
        g_mkdir_with_parents(lib.c_str(), 0700);
        symlink(QUILLMERE_WEB_PROCESS_EXTENSIONS, (lib + "/web-process-extensions").c_str());
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

} // namespace quillmere::bench
