// The real program started inside a benchmark's process, on a homepage, with a bundle of
// its own and no rules document, so that nothing is compiled at launch.
#pragma once

#include "app/AppDelegate.h"
#include "browser/BrowserWindowController.h"
#include "platform/Bundle.h"
#include "platform/UserDefaults.h"

#include <memory>
#include <string>

namespace quillmere::bench {

class InProcessBrowser {
public:
    explicit InProcessBrowser(const std::string& homepage)
    {
        char* bundle = g_dir_make_tmp("quillmere-bench-XXXXXX", nullptr);
        setBundleDirectory(bundle);
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
