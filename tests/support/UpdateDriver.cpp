// Runs one update the way the settings window does (check, then download and install)
// for the bundle given, in a process of its own that a test can have killed at any
// step of the swap (see TestBuild.h). Prints each status; exits 0 once the new copy has
// reported a good start, 1 on a failure.
//
//   update_driver BUNDLE BASE-URL
#include "platform/Bundle.h"
#include "update/Updater.h"

#include <glibmm/init.h>
#include <glibmm/main.h>

#include <cstdio>
#include <variant>

using namespace quillmere;

int main(int argc, char* argv[])
{
    if (argc != 3)
        return 2;
    Glib::init();
    setBundleDirectory(argv[1]);
    const std::string base = argv[2];
    auto loop = Glib::MainLoop::create();
    int status = 1;
    Updater::checkForUpdate(base, [&](UpdateStatus outcome) {
        if (!std::holds_alternative<UpdateStatus::UpdateAvailable>(outcome.value)) {
            std::printf("no update on offer\n");
            loop->quit();
            return;
        }
        Updater::downloadAndInstall(
            base, [](const std::string& text) { std::printf("%s\n", text.c_str()); },
            [&](bool success, const std::string& message) {
                std::printf("%s%s\n", success ? "" : "Update failed: ", message.c_str());
                status = success ? 0 : 1;
                loop->quit();
            });
    });
    loop->run();
    return status;
}
