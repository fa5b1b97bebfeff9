// Quillmere: a tabbed web browser on GTK 4 and WebKitGTK. To see how it fits together,
// start with AppDelegate (launch) and BrowserWindowController (the window).
#include "app/AppDelegate.h"
#include "browser/WebViewFactory.h"
#include "platform/Log.h"

#include <gtkmm/application.h>

#include <cstdio>

int main(int argc, char* argv[])
{
    setvbuf(stdout, nullptr, _IONBF, 0);
    CUSTOM_UA = quillmere::kFirefoxUserAgent;
    quillmere::installLogWriter();
    g_set_prgname("quillmere");

    auto application = quillmere::AppDelegate::createApplication();
    quillmere::AppDelegate delegate(application);
    return application->run(argc, argv);
}
