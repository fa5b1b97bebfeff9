// What the window says about the page: its connection's security at the start of the
// address field, the engine's error page for a bad certificate, and page full screen.
#include "support/Browser.h"
#include "support/Input.h"

#include "platform/UserDefaults.h"

#include <gdk/gdkkeysyms.h>

using namespace quillmere;
using namespace quillmere::test;

namespace {

using State = BrowserWindowController::SecurityState;

// An https server with the self-signed certificate from tests/data; counts requests.
class TlsServer {
public:
    explicit TlsServer(const std::string& pem)
    {
        GError* error = nullptr;
        GTlsCertificate* certificate = g_tls_certificate_new_from_pem(pem.c_str(), -1, &error);
        if (!certificate)
            throw std::runtime_error(error->message);
        server_ = soup_server_new("tls-certificate", certificate, nullptr);
        g_object_unref(certificate);
        soup_server_add_handler(server_, nullptr,
            +[](SoupServer*, SoupServerMessage* message, const char*, GHashTable*, gpointer data) {
                ++*static_cast<int*>(data);
                const char body[] = "<title>Secret</title>";
                soup_server_message_set_response(message, "text/html", SOUP_MEMORY_COPY, body, sizeof body - 1);
                soup_server_message_set_status(message, 200, nullptr);
            },
            &requests, nullptr);
        if (!soup_server_listen_local(server_, 0,
                SoupServerListenOptions(SOUP_SERVER_LISTEN_IPV4_ONLY | SOUP_SERVER_LISTEN_HTTPS), &error))
            throw std::runtime_error(error->message);
        GSList* uris = soup_server_get_uris(server_);
        port_ = g_uri_get_port(static_cast<GUri*>(uris->data));
        g_slist_free_full(uris, reinterpret_cast<GDestroyNotify>(g_uri_unref));
    }
    ~TlsServer() { g_object_unref(server_); }
    std::string url() const { return "https://127.0.0.1:" + std::to_string(port_) + "/"; }
    int requests = 0;

private:
    SoupServer* server_;
    int port_ = 0;
};

class PageState : public BrowserTest {};

} // namespace

TEST_F(PageState, ShowsNotSecureForHttpNothingForOwnPagesAndKeepsTheErrorPageForABadCertificate)
{
    server.page("/", "<title>Plain</title>");
    setDefault(kHomepageKey, server.url("/"));
    launch();
    ASSERT_TRUE(waitForLoad(activeView(), server.url("/")));
    BrowserWindowController& window = browser();
    EXPECT_TRUE(runUntil([&] { return window.securityState() == State::NotSecure; }));
    EXPECT_TRUE(window.securityButton().get_visible());
    EXPECT_EQ(window.securityLabel().get_text(), "Not secure");
    EXPECT_TRUE(window.addressField().has_css_class("with-not-secure"));
    // It sits at the start of the field, the text starting after it.
    const auto indicator = allocationIn(window.securityButton(), window.addressField());
    EXPECT_LT(indicator.get_x(), 10);
    EXPECT_TRUE(window.securityDetails().starts_with("127.0.0.1\nConnection is not secure"))
        << window.securityDetails();

    window.loadURL("about:blank");
    ASSERT_TRUE(waitForLoad(activeView(), "about:blank"));
    EXPECT_EQ(window.securityState(), State::None);
    EXPECT_FALSE(window.securityButton().get_visible());

    TlsServer tls(testData("self-signed-cert.pem") + testData("self-signed-key.pem"));
    window.loadURL(tls.url());
    ASSERT_TRUE(runUntil([&] { return tab(0).showsOwnPage() && !webkit_web_view_is_loading(activeView()); }));
    EXPECT_EQ(tls.requests, 0); // the handshake failed: the page was never asked for
    EXPECT_NE(tab(0).title(), "Secret");
    EXPECT_EQ(window.securityState(), State::None);

    // Let through all the same (as only a test does), the page is https with a
    // certificate error: not secure, and the certificate is described.
    GTlsCertificate* certificate = g_tls_certificate_new_from_pem(testData("self-signed-cert.pem").c_str(), -1, nullptr);
    webkit_network_session_allow_tls_certificate_for_host(webkit_network_session_get_default(), certificate, "127.0.0.1");
    g_object_unref(certificate);
    window.loadURL(tls.url());
    ASSERT_TRUE(waitForTitle(0, "Secret"));
    EXPECT_TRUE(runUntil([&] { return window.securityState() == State::NotSecure; }));
    const std::string details = window.securityDetails();
    EXPECT_NE(details.find("the site's certificate is not valid (its issuer is not trusted)"), std::string::npos) << details;
    EXPECT_NE(details.find("Certificate issued to: CN=127.0.0.1,O=Quillmere Tests"), std::string::npos) << details;
    EXPECT_NE(details.find("to 21"), std::string::npos) << details; // valid for a century
}

TEST_F(PageState, PageFullScreenHidesTheControlsShowsTheNoticeAndEscapeBringsThemBack)
{
    server.page("/", "<title>Video</title><div id=stage style='position:fixed;inset:0;background:#123'"
                     " onclick='this.requestFullscreen()'></div>");
    setDefault(kHomepageKey, server.url("/"));
    launch();
    ASSERT_TRUE(waitForLoad(activeView(), server.url("/")));
    BrowserWindowController& window = browser();
    click(*tab(0).widget());
    ASSERT_TRUE(runUntil([&] { return window.pageFullscreen(); }));
    EXPECT_FALSE(window.toolbar().get_visible() || window.tabBar().get_visible());
    EXPECT_TRUE(window.fullscreenNotice().get_visible());
    EXPECT_EQ(window.fullscreenNotice().get_text(), "Press Esc to exit full screen");
    ASSERT_TRUE(runUntil([&] { return evaluate(activeView(), "document.fullscreenElement?.id") == "\"stage\""; }));
    // The notice goes by itself after a few seconds.
    EXPECT_TRUE(runUntil([&] { return !window.fullscreenNotice().get_visible(); }, 6000));

    gtk_widget_grab_focus(GTK_WIDGET(activeView()));
    pressKey(GDK_KEY_Escape);
    ASSERT_TRUE(runUntil([&] { return !window.pageFullscreen(); }));
    EXPECT_TRUE(window.toolbar().get_visible() && window.tabBar().get_visible());
    EXPECT_TRUE(runUntil([&] { return evaluate(activeView(), "document.fullscreenElement") == "null"; }));
}
