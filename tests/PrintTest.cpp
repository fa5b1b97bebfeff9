// Printing a page: Ctrl+P and window.print() open GTK's print dialog while the program
// runs on; what the user chooses there is printed, and Cancel prints nothing.
#include "support/Browser.h"
#include "support/Input.h"

#include "platform/UserDefaults.h"

#include <gdk/gdkkeysyms.h>
#include <glib/gstdio.h>
#include <gtk/gtkunixprint.h>

#include <fstream>
#include <sstream>

using namespace quillmere;
using namespace quillmere::test;

namespace {

class Printing : public BrowserTest {
protected:
    // The open print dialog, or null.
    static GtkPrintUnixDialog* printDialog()
    {
        GListModel* toplevels = gtk_window_get_toplevels(); // GTK's own
        for (guint i = 0; i < g_list_model_get_n_items(toplevels); ++i) {
            g_autoptr(GObject) window = G_OBJECT(g_list_model_get_item(toplevels, i));
            if (GTK_IS_PRINT_UNIX_DIALOG(window) && gtk_widget_get_visible(GTK_WIDGET(window)))
                return GTK_PRINT_UNIX_DIALOG(window);
        }
        return nullptr;
    }

    // Chooses GTK's "Print to File" printer with `path` as its PDF, as a user would in the dialog.
    static bool choosePrintToFile(GtkPrintUnixDialog* dialog, const std::string& path)
    {
        g_autoptr(GtkPrintSettings) settings = gtk_print_settings_new();
        gtk_print_settings_set_printer(settings, "Print to File");
        g_autofree char* uri = g_filename_to_uri(path.c_str(), nullptr, nullptr);
        gtk_print_settings_set(settings, GTK_PRINT_SETTINGS_OUTPUT_URI, uri);
        gtk_print_settings_set(settings, GTK_PRINT_SETTINGS_OUTPUT_FILE_FORMAT, "pdf");
        gtk_print_unix_dialog_set_settings(dialog, settings);
        return runUntil([&] {
            GtkPrinter* printer = gtk_print_unix_dialog_get_selected_printer(dialog);
            return printer && g_str_equal(gtk_printer_get_name(printer), "Print to File");
        });
    }

    static std::string contents(const std::string& path)
    {
        std::ifstream file(path, std::ios::binary);
        std::stringstream text;
        text << file.rdbuf();
        return text.str();
    }

    // A whole PDF of at least one page: its header, a page and, at its end, the end-of-file marker.
    static bool isCompletePDF(const std::string& path)
    {
        const std::string pdf = contents(path);
        return pdf.starts_with("%PDF-")
            && pdf.find("%%EOF", pdf.size() > 64 ? pdf.size() - 64 : 0) != std::string::npos;
    }
};

} // namespace

TEST_F(Printing, CtrlPAndWindowPrintOpenTheDialogWithoutHoldingTheMainLoopAndPrintWhatIsChosen)
{
    server.page("/", "<title>Letter</title><body><h1>A page to print</h1><p>Dear reader,</p></body>");
    setDefault(kHomepageKey, server.url("/"));
    launch();
    ASSERT_TRUE(waitForLoad(activeView(), server.url("/")));
    const std::string directory = makeTemporaryDirectory("print-XXXXXX");
    const std::string cancelled = directory + "/cancelled.pdf", printed = directory + "/printed.pdf";

    // A timer notes the depth of the main loop it fires in: a dialog run by a loop of its own would show as 2.
    struct Ticks {
        int count = 0;
        int deepest = 0;
    } ticks;
    const guint timer = g_timeout_add(
        10,
        +[](gpointer data) -> gboolean {
            auto* t = static_cast<Ticks*>(data);
            ++t->count;
            t->deepest = std::max(t->deepest, g_main_depth());
            return G_SOURCE_CONTINUE;
        },
        &ticks);

    focusWindow(browser().window());
    pressKey(GDK_KEY_p, {GDK_KEY_Control_L});
    ASSERT_TRUE(runUntil([] { return printDialog() != nullptr; }));
    GtkPrintUnixDialog* dialog = printDialog();
    EXPECT_EQ(gtk_window_get_transient_for(GTK_WINDOW(dialog)), GTK_WINDOW(browser().window().gobj()));
    const int before = ticks.count;
    EXPECT_TRUE(runUntil([&] { return ticks.count >= before + 10; }));
    EXPECT_EQ(ticks.deepest, 1);
    // A second Ctrl+P keeps the one dialog.
    pressKey(GDK_KEY_p, {GDK_KEY_Control_L});
    runUntil([&] { return ticks.count >= before + 20; });
    EXPECT_EQ(printDialog(), dialog);

    // Cancel closes the dialog and prints nothing, also with a printer chosen.
    ASSERT_TRUE(choosePrintToFile(dialog, cancelled));
    gtk_dialog_response(GTK_DIALOG(dialog), GTK_RESPONSE_CANCEL);
    EXPECT_TRUE(runUntil([] { return printDialog() == nullptr; }));

    // The page's own window.print() opens it too; Print writes the page to the chosen file.
    EXPECT_EQ(evaluate(activeView(), "window.print(); 'returned'"), "\"returned\"");
    ASSERT_TRUE(runUntil([] { return printDialog() != nullptr; }));
    dialog = printDialog();
    ASSERT_TRUE(choosePrintToFile(dialog, printed));
    gtk_dialog_response(GTK_DIALOG(dialog), GTK_RESPONSE_OK);
    EXPECT_TRUE(runUntil([] { return printDialog() == nullptr; }));
    EXPECT_TRUE(runUntil([&] { return isCompletePDF(printed); }, 30000));
    EXPECT_FALSE(g_file_test(cancelled.c_str(), G_FILE_TEST_EXISTS));
    EXPECT_EQ(ticks.deepest, 1);
    g_source_remove(timer);
}
