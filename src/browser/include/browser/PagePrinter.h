// Printing a page: GTK's print dialog, shown without holding up the main loop, and then
// the engine prints with what the user chose there. The engine's own dialog
// (webkit_print_operation_run_dialog) would run a loop of its own until it closes.
#pragma once

#include "platform/GObjectPtr.h"

#include <webkit/webkit.h>

#include <vector>

namespace quillmere {

class PagePrinter {
public:
    PagePrinter() = default;
    ~PagePrinter();
    PagePrinter(const PagePrinter&) = delete;
    PagePrinter& operator=(const PagePrinter&) = delete;

    // Opens the print dialog for `view`, with `operation` (the one the page asked for
    // with window.print()) or a new one for the whole page. While the dialog is open,
    // another request only brings it to the front.
    void print(WebKitWebView* view, GObjectPtr<WebKitPrintOperation> operation = nullptr);

private:
    void responded(int response);
    void finished(WebKitPrintOperation* operation);

    GObjectPtr<GtkWidget> dialog_; // a GtkPrintUnixDialog, while it is open
    gulong responseHandler_ = 0;
    GObjectPtr<WebKitPrintOperation> asked_; // the operation the open dialog is for
    std::vector<GObjectPtr<WebKitPrintOperation>> printing_; // handed to the engine, until it is done
};

} // namespace quillmere
