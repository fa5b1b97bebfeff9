#include "browser/PagePrinter.h"

#include "platform/Log.h"

#include <gtk/gtkunixprint.h>

#include <algorithm>

namespace quillmere {

namespace {

// The last choices of the dialog, for the next one in any tab, as users expect the
// printer and paper they picked to stay.
GObjectPtr<GtkPrintSettings>& lastSettings()
{
    static GObjectPtr<GtkPrintSettings> settings;
    return settings;
}

GObjectPtr<GtkPageSetup>& lastPageSetup()
{
    static GObjectPtr<GtkPageSetup> pageSetup;
    return pageSetup;
}

} // namespace

PagePrinter::~PagePrinter()
{
    if (dialog_) {
        g_signal_handler_disconnect(dialog_.get(), responseHandler_);
        gtk_window_destroy(GTK_WINDOW(dialog_.get()));
    }
    for (auto& operation : printing_)
        g_signal_handlers_disconnect_by_data(operation.get(), this);
}

void PagePrinter::print(WebKitWebView* view, GObjectPtr<WebKitPrintOperation> operation)
{
    if (dialog_) {
        gtk_window_present(GTK_WINDOW(dialog_.get()));
        return;
    }
    asked_ = operation ? std::move(operation) : adopt(webkit_print_operation_new(view));
    auto* parent = GTK_WINDOW(gtk_widget_get_root(GTK_WIDGET(view)));
    dialog_ = retain(gtk_print_unix_dialog_new(nullptr, parent));
    auto* dialog = GTK_PRINT_UNIX_DIALOG(dialog_.get());
    gtk_window_set_modal(GTK_WINDOW(dialog), TRUE);
    // What the engine can do with its pages, as its own dialog offers.
    gtk_print_unix_dialog_set_manual_capabilities(dialog,
        static_cast<GtkPrintCapabilities>(GTK_PRINT_CAPABILITY_NUMBER_UP | GTK_PRINT_CAPABILITY_NUMBER_UP_LAYOUT
            | GTK_PRINT_CAPABILITY_PAGE_SET | GTK_PRINT_CAPABILITY_REVERSE | GTK_PRINT_CAPABILITY_COPIES
            | GTK_PRINT_CAPABILITY_COLLATE | GTK_PRINT_CAPABILITY_SCALE));
    gtk_print_unix_dialog_set_embed_page_setup(dialog, TRUE);
    if (GtkPrintSettings* settings = lastSettings().get())
        gtk_print_unix_dialog_set_settings(dialog, settings);
    if (GtkPageSetup* pageSetup = lastPageSetup().get())
        gtk_print_unix_dialog_set_page_setup(dialog, pageSetup);
    responseHandler_ = g_signal_connect(dialog, "response",
        G_CALLBACK(+[](GtkDialog*, int response, PagePrinter* printer) { printer->responded(response); }), this);
    gtk_window_present(GTK_WINDOW(dialog));
}

void PagePrinter::responded(int response)
{
    auto dialog = std::move(dialog_);
    auto operation = std::move(asked_);
    g_signal_handler_disconnect(dialog.get(), responseHandler_);
    if (response == GTK_RESPONSE_OK) {
        lastSettings() = adopt(gtk_print_unix_dialog_get_settings(GTK_PRINT_UNIX_DIALOG(dialog.get())));
        lastPageSetup() = retain(gtk_print_unix_dialog_get_page_setup(GTK_PRINT_UNIX_DIALOG(dialog.get())));
        webkit_print_operation_set_print_settings(operation.get(), lastSettings().get());
        webkit_print_operation_set_page_setup(operation.get(), lastPageSetup().get());
        g_signal_connect(operation.get(), "finished",
            G_CALLBACK(+[](WebKitPrintOperation* operation, PagePrinter* printer) { printer->finished(operation); }),
            this);
        g_signal_connect(operation.get(), "failed", G_CALLBACK(+[](WebKitPrintOperation*, GError* error, PagePrinter*) {
            quillmereLog.error("Printing failed: %{public}s", std::string(error->message));
        }),
            this);
        webkit_print_operation_print(operation.get());
        printing_.push_back(std::move(operation));
    }
    gtk_window_destroy(GTK_WINDOW(dialog.get()));
}

void PagePrinter::finished(WebKitPrintOperation* operation)
{
    // Not within the engine's own emission: the operation may still be in use there.
    auto done = std::find_if(printing_.begin(), printing_.end(), [&](auto& held) { return held.get() == operation; });
    if (done == printing_.end())
        return;
    g_signal_handlers_disconnect_by_data(operation, this);
    auto* keep = new GObjectPtr<WebKitPrintOperation>(std::move(*done));
    printing_.erase(done);
    g_idle_add_once([](gpointer held) { delete static_cast<GObjectPtr<WebKitPrintOperation>*>(held); }, keep);
}

} // namespace quillmere
