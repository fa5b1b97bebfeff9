// Downloads: a link's file lands in the Downloads folder with its exact bytes under a
// free name and shows in the toolbar's list; one a page starts on its own asks first.
#include "support/Browser.h"
#include "support/Input.h"

#include "browser/Downloads.h"
#include "browser/QuestionBar.h"
#include "platform/UserDefaults.h"

#include <gtkmm/messagedialog.h>

#include <filesystem>
#include <fstream>
#include <sstream>

using namespace quillmere;
using namespace quillmere::test;

namespace {

class DownloadsTest : public BrowserTest {
protected:
    static Response attachment(const std::string& name, const std::string& bytes, const std::string& type)
    {
        return Response {200, type, bytes, {{"Content-Disposition", "attachment; filename=\"" + name + "\""}}};
    }
    static std::string contents(const std::string& path)
    {
        std::ifstream file(path, std::ios::binary);
        std::ostringstream text;
        text << file.rdbuf();
        return text.str();
    }
    static std::vector<std::string> downloaded()
    {
        std::vector<std::string> names;
        if (std::filesystem::exists(Downloads::directory()))
            for (const auto& entry : std::filesystem::directory_iterator(Downloads::directory()))
                names.push_back(entry.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    }
    Downloads& downloads() { return browser().downloads(); }
    bool waitForState(std::size_t index, Downloads::State state)
    {
        return runUntil([&] {
            return downloads().entries().size() > index && downloads().entries()[index]->state == state;
        });
    }
};

// A link that covers the whole page, so that a click in the view's middle follows it.
std::string pageWithLink(const std::string& href)
{
    return "<title>Files</title><a href='" + href
        + "' style='position:fixed;inset:0;display:block;background:#ddd'>Get the file</a>";
}

} // namespace

TEST_F(DownloadsTest, AClickedLinkSavesTheExactBytesThenAQuickSecondOneAsksAndTakesTheNextName)
{
    std::string bytes;
    for (unsigned i = 0; i < 300000; ++i)
        bytes += static_cast<char>(i * 7919u % 251u);
    server.route("/files/report.pdf", attachment("report.pdf", bytes, "application/pdf"));
    server.page("/", pageWithLink("/files/report.pdf"));
    setDefault(kHomepageKey, server.url("/"));
    launch();
    ASSERT_TRUE(waitForLoad(activeView(), server.url("/")));
    EXPECT_FALSE(downloads().button().get_visible());

    click(*tab(0).widget());
    ASSERT_TRUE(waitForState(0, Downloads::State::Done));
    EXPECT_TRUE(tab(0).questions().empty()); // a click in the page's own frame does not ask
    EXPECT_EQ(downloaded(), std::vector<std::string> {"report.pdf"});
    EXPECT_TRUE(contents(Downloads::directory() + "/report.pdf") == bytes);
    // The toolbar's button appeared; its list names the file and what came.
    ASSERT_TRUE(downloads().button().get_visible());
    click(downloads().button());
    ASSERT_TRUE(runUntil([&] { return downloads().popover().get_mapped(); }));
    const auto& entry = *downloads().entries()[0];
    EXPECT_EQ(entry.nameLabel->get_text(), "report.pdf");
    EXPECT_EQ(entry.stateLabel->get_text(), "Done — 300.0 kB");
    EXPECT_TRUE(entry.open->get_visible() && entry.showInFolder->get_visible() && !entry.cancel->get_visible());
    downloads().popover().popdown();

    // Again within a few seconds: the page is asked about, and the name is free.
    click(*tab(0).widget());
    QuestionBar* question = waitForQuestion();
    ASSERT_TRUE(question);
    EXPECT_EQ(question->text(), "127.0.0.1 wants to download report.pdf");
    click(question->allowButton());
    ASSERT_TRUE(waitForState(1, Downloads::State::Done));
    EXPECT_EQ(downloaded(), (std::vector<std::string> {"report (1).pdf", "report.pdf"}));
    EXPECT_TRUE(contents(Downloads::directory() + "/report (1).pdf") == bytes);
    EXPECT_EQ(downloads().entries()[1]->nameLabel->get_text(), "report (1).pdf");
    EXPECT_EQ(downloads().running(), 0);
}

TEST_F(DownloadsTest, AHiddenFrameAsksFirstWritesNothingWhenDeniedAndItsEntryIsNeverOpened)
{
    const std::string entry = "[Desktop Entry]\nType=Application\nExec=sh -c 'touch ~/owned'\nName=Invoice\n";
    server.route("/invoice", attachment("invoice.desktop", entry, "application/x-desktop"));
    server.page("/", "<title>Hidden</title><iframe style='display:none' src='/invoice'></iframe>");
    setDefault(kHomepageKey, server.url("/"));
    launch();
    QuestionBar* question = waitForQuestion();
    ASSERT_TRUE(question);
    EXPECT_EQ(question->text(), "127.0.0.1 wants to download invoice.desktop");
    EXPECT_EQ(downloads().entries().at(0)->state, Downloads::State::Asking);
    EXPECT_TRUE(downloaded().empty());
    click(question->denyButton());
    ASSERT_TRUE(waitForState(0, Downloads::State::Cancelled));
    runFor(300);
    EXPECT_TRUE(downloaded().empty());
    EXPECT_TRUE(tab(0).questions().empty());

    // Quitting while one waits asks whether to cancel it; saying yes cancels and quits.
    webkit_web_view_reload(activeView());
    ASSERT_TRUE(waitForQuestion());
    bool quit = false;
    EXPECT_FALSE(browser().confirmQuit([&] { quit = true; }));
    Gtk::MessageDialog* dialog = nullptr;
    ASSERT_TRUE(runUntil([&] {
        for (Gtk::Window* window : Gtk::Window::list_toplevels())
            if ((dialog = dynamic_cast<Gtk::MessageDialog*>(window)) && dialog->get_mapped())
                return true;
        return false;
    }));
    dialog->response(Gtk::ResponseType::ACCEPT);
    EXPECT_TRUE(quit);
    ASSERT_TRUE(waitForState(1, Downloads::State::Cancelled));
    EXPECT_TRUE(downloaded().empty());
    EXPECT_TRUE(tab(0).questions().empty());

    // Allowed, it arrives; a desktop entry is only ever shown in its folder.
    webkit_web_view_reload(activeView());
    question = waitForQuestion();
    ASSERT_TRUE(question);
    click(question->allowButton());
    ASSERT_TRUE(waitForState(2, Downloads::State::Done));
    EXPECT_EQ(contents(Downloads::directory() + "/invoice.desktop"), entry);
    const auto& done = *downloads().entries()[2];
    EXPECT_TRUE(!done.open->get_visible() && done.showInFolder->get_visible());
}

// A download that never ends: the file under its final name is only the empty
// reservation while the data goes to the engine's partial file beside it, and a cancel
// leaves neither.
TEST_F(DownloadsTest, ARunningDownloadWritesBesideItsReservedNameAndACancelLeavesNothing)
{
    SoupServer* streaming = soup_server_new(nullptr, nullptr);
    soup_server_add_handler(streaming, nullptr,
        +[](SoupServer*, SoupServerMessage* message, const char*, GHashTable*, gpointer) {
            soup_server_message_set_status(message, 200, nullptr);
            SoupMessageHeaders* headers = soup_server_message_get_response_headers(message);
            soup_message_headers_set_content_type(headers, "application/octet-stream", nullptr);
            soup_message_headers_append(headers, "Content-Disposition", "attachment; filename=\"big.bin\"");
            soup_message_headers_set_content_length(headers, 50 * 1024 * 1024);
            // The first part only; the server waits for more, which never comes.
            static const std::string part(256 * 1024, 'q');
            soup_message_body_append(soup_server_message_get_response_body(message), SOUP_MEMORY_STATIC,
                part.data(), part.size());
        },
        nullptr, nullptr);
    ASSERT_TRUE(soup_server_listen_local(streaming, 0, SOUP_SERVER_LISTEN_IPV4_ONLY, nullptr));
    GSList* uris = soup_server_get_uris(streaming);
    GCharPtr base(g_uri_to_string(static_cast<GUri*>(uris->data)));
    g_slist_free_full(uris, reinterpret_cast<GDestroyNotify>(g_uri_unref));
    server.page("/", pageWithLink(std::string(base.get()) + "big.bin"));
    setDefault(kHomepageKey, server.url("/"));
    launch();
    ASSERT_TRUE(waitForLoad(activeView(), server.url("/")));

    click(*tab(0).widget());
    ASSERT_TRUE(runUntil([&] {
        return !downloads().entries().empty() && downloads().entries()[0]->state == Downloads::State::Running
            && webkit_download_get_received_data_length(downloads().entries()[0]->download.get()) > 0;
    }));
    const auto& entry = *downloads().entries()[0];
    EXPECT_TRUE(runUntil([&] { return entry.stateLabel->get_text() == "262.1 kB of 52.4 MB (0%)"; }))
        << entry.stateLabel->get_text();
    EXPECT_EQ(downloaded(), (std::vector<std::string> {"big.bin", "big.bin.wkdownload"}));
    EXPECT_EQ(std::filesystem::file_size(Downloads::directory() + "/big.bin"), 0u);
    EXPECT_EQ(downloads().running(), 1);

    ASSERT_TRUE(entry.cancel->get_visible());
    click(downloads().button());
    click(*entry.cancel);
    ASSERT_TRUE(waitForState(0, Downloads::State::Cancelled));
    EXPECT_TRUE(runUntil([&] { return downloaded().empty(); }));
    EXPECT_EQ(entry.stateLabel->get_text(), "Cancelled");
    g_object_unref(streaming);
}
