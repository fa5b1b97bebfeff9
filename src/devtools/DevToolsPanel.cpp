#include "devtools/DevToolsPanel.h"

#include "platform/Accessibility.h"
#include "platform/JsonText.h"
#include "platform/PageScript.h"

#include <glibmm/main.h>
#include <gtkmm/columnviewcolumn.h>
#include <gtkmm/signallistitemfactory.h>

#include <chrono>
#include <vector>

namespace quillmere {

namespace {

// A row of the network table: the record it shows, shared with the log. A response
// changes the record and tells the row; only cells on screen listen, so a response to
// a row scrolled out of sight costs nothing but the record's update.
class NetworkRow : public Glib::Object {
public:
    static Glib::RefPtr<NetworkRow> create(std::shared_ptr<NetworkEntry> entry)
    {
        return Glib::make_refptr_for_instance(new NetworkRow(std::move(entry)));
    }
    const std::shared_ptr<NetworkEntry> entry;
    sigc::signal<void()> changed;

private:
    explicit NetworkRow(std::shared_ptr<NetworkEntry> entry)
        : entry(std::move(entry))
    {
    }
};

// One cell's label, following the row it is bound to.
class NetworkCell : public Gtk::Label {
public:
    NetworkCell()
    {
        set_xalign(0);
        set_ellipsize(Pango::EllipsizeMode::MIDDLE);
        set_single_line_mode(true);
        add_css_class("network-cell");
    }
    ~NetworkCell() override { watch_.disconnect(); }

    void bind(const Glib::RefPtr<NetworkRow>& row, std::string NetworkEntry::*field)
    {
        watch_.disconnect();
        set_text((*row->entry).*field);
        nameRow(*row->entry);
        watch_ = row->changed.connect([this, entry = row->entry.get(), field] {
            set_text((*entry).*field);
            nameRow(*entry);
        });
    }
    void unbind() { watch_.disconnect(); }

private:
    // The cell and the row the list made around this label are read out as the cell's
    // text and the whole request.
    void nameRow(const NetworkEntry& entry)
    {
        for (GtkWidget* up = gtk_widget_get_parent(GTK_WIDGET(gobj())); up; up = gtk_widget_get_parent(up))
            if (g_str_equal(G_OBJECT_TYPE_NAME(up), "GtkColumnViewCell")) {
                setAccessibleName(*Glib::wrap(up), get_text().empty() ? "empty" : get_text().raw());
            } else if (g_str_equal(G_OBJECT_TYPE_NAME(up), "GtkListItemWidget")) {
                setAccessibleName(*Glib::wrap(up), entry.method + " " + entry.url + " " + entry.status);
                return;
            }
    }

    sigc::connection watch_;
};

// How long one turn of the main loop may spend applying queued messages.
constexpr auto kBatchBudget = std::chrono::milliseconds(8);
// How long the first message of a batch waits for others. Each batch costs a relayout
// of the table's visible rows whatever its size; a page that posts a message at a time
// would otherwise pay it per message. Short enough to look immediate.
constexpr unsigned kBatchWaitMs = 25;
// New rows per batch. The table makes widgets for up to a couple of hundred rows
// around the top whenever rows arrive there, at about 0.15 ms a row.
constexpr size_t kBatchRows = 50;
// Console text per batch. Laying out a line of the full 10,000 characters takes the text
// view milliseconds; a page that logs only such lines gets a few of them a turn.
constexpr size_t kBatchConsoleBytes = 24 * 1024;
// Messages waiting to be applied. The extension lets a page have only a few in flight,
// so this is a backstop; past it the oldest go, as they would from the logs.
constexpr size_t kMaxPending = kKeptConsoleLines + 2 * kKeptNetworkEntries;
// The HTML editor takes a page's HTML up to this many characters.
constexpr size_t kMaxHtmlCharacters = 8 * 1024 * 1024;
// A response's status and preview; the page's script cuts them shorter already.
constexpr size_t kShownResponseCharacters = 500;

void setText(Gtk::TextView& view, const std::string& text)
{
    view.get_buffer()->set_text(text);
}

std::string textOf(const Gtk::TextView& view)
{
    return view.get_buffer()->get_text(true);
}

Gtk::ScrolledWindow& scrolled(Gtk::ScrolledWindow& scroll, Gtk::Widget& child)
{
    scroll.set_policy(Gtk::PolicyType::AUTOMATIC, Gtk::PolicyType::AUTOMATIC);
    scroll.set_child(child);
    return scroll;
}

void panelButton(Gtk::Button& button, const char* label, int width, const char* cssClass = nullptr)
{
    button.set_label(label);
    button.set_size_request(width, 26);
    button.set_focus_on_click(false);
    button.add_css_class("devtools-button");
    if (cssClass)
        button.add_css_class(cssClass);
}

} // namespace

DevToolsPanel::DevToolsPanel()
    : Gtk::Box(Gtk::Orientation::VERTICAL)
    , cancellable_(adopt(g_cancellable_new()))
    , accentLine_(Gtk::Orientation::HORIZONTAL)
    , headerBar_(Gtk::Orientation::HORIZONTAL)
    , titleLabel_("DevTools")
    , closeButton_("✕")
{
    add_css_class("devtools-panel");
    setup();
}

DevToolsPanel::~DevToolsPanel()
{
    // A page evaluation still under way answers into a panel that is gone.
    g_cancellable_cancel(cancellable_.get());
    drain_.disconnect();
}

void DevToolsPanel::setup()
{
    accentLine_.add_css_class("devtools-accent");
    accentLine_.set_size_request(-1, 2);
    append(accentLine_);

    headerBar_.add_css_class("devtools-header");
    headerBar_.set_size_request(-1, headerHeight);
    titleLabel_.add_css_class("devtools-title");
    titleLabel_.set_size_request(90, 18);
    titleLabel_.set_xalign(0);
    titleLabel_.set_margin_start(10);
    titleLabel_.set_valign(Gtk::Align::CENTER);
    headerBar_.append(titleLabel_);

    switcher_.set_stack(stack_);
    switcher_.set_size_request(240, 26);
    switcher_.set_valign(Gtk::Align::CENTER);
    switcher_.add_css_class("devtools-pages");
    headerBar_.append(switcher_);

    auto* spacer = Gtk::make_managed<Gtk::Box>();
    spacer->set_hexpand(true);
    headerBar_.append(*spacer);

    closeButton_.add_css_class("devtools-close");
    closeButton_.set_size_request(24, 24);
    closeButton_.set_valign(Gtk::Align::CENTER);
    closeButton_.set_margin_end(10);
    closeButton_.set_focus_on_click(false);
    setAccessibleName(closeButton_, "Close Developer Tools");
    closeButton_.signal_clicked().connect(sigc::mem_fun(*this, &DevToolsPanel::closeSelf));
    headerBar_.append(closeButton_);
    append(headerBar_);

    stack_.set_vexpand(true);
    stack_.set_hhomogeneous(true);
    stack_.set_vhomogeneous(true);
    stack_.add(buildNetworkPage(), "network", "Network");

    consoleView_.set_editable(false);
    consoleView_.set_cursor_visible(false);
    consoleView_.set_wrap_mode(Gtk::WrapMode::NONE);
    consoleView_.add_css_class("devtools-console");
    setAccessibleName(consoleView_, "Console");
    consoleScroll_.add_css_class("devtools-console-scroll");
    // Stays after everything inserted, so scrolling to it shows the newest line.
    consoleEnd_ = consoleView_.get_buffer()->create_mark("console-end", consoleView_.get_buffer()->end(), false);
    stack_.add(scrolled(consoleScroll_, consoleView_), "console", "Console");

    stack_.add(buildHtmlPage(), "html", "HTML");
    stack_.set_visible_child("network");
    stack_.property_visible_child().signal_changed().connect(sigc::mem_fun(*this, &DevToolsPanel::tabChanged));
    append(stack_);
    nameInnerWidgets(*this);
}

Gtk::Box& DevToolsPanel::buildNetworkPage()
{
    auto* page = Gtk::make_managed<Gtk::Box>(Gtk::Orientation::VERTICAL);

    rows_ = Gio::ListStore<Glib::Object>::create();
    selection_ = Gtk::SingleSelection::create(rows_);
    selection_->set_autoselect(false);
    selection_->set_can_unselect(true);
    selection_->signal_selection_changed().connect([this](guint, guint) { selectionChanged(); });

    networkTable_ = Gtk::make_managed<Gtk::ColumnView>(selection_);
    networkTable_->add_css_class("network-table");
    setAccessibleName(*networkTable_, "Network requests");
    networkTable_->set_show_row_separators(true);
    networkTable_->set_reorderable(false);
    addColumn("Method", 60, &NetworkEntry::method, false);
    addColumn("URL", 300, &NetworkEntry::url, true);
    addColumn("Status", 60, &NetworkEntry::status, false);
    networkScroll_.add_css_class("network-scroll");
    networkScroll_.set_vexpand(true);
    page->append(scrolled(networkScroll_, *networkTable_));

    detailView_.set_editable(false);
    detailView_.set_cursor_visible(false);
    detailView_.set_wrap_mode(Gtk::WrapMode::WORD_CHAR);
    detailView_.add_css_class("devtools-detail");
    setAccessibleName(detailView_, "Request details");
    detailScroll_.set_size_request(-1, 46);
    detailScroll_.set_margin_top(4);
    detailScroll_.add_css_class("devtools-detail-scroll");
    page->append(scrolled(detailScroll_, detailView_));

    panelButton(resendButton_, "↻ Resend", 100, "devtools-resend");
    resendButton_.set_halign(Gtk::Align::START);
    setAccessibleName(resendButton_, "Resend");
    resendButton_.set_margin_start(8);
    resendButton_.set_margin_top(6);
    resendButton_.set_margin_bottom(8);
    resendButton_.signal_clicked().connect(sigc::mem_fun(*this, &DevToolsPanel::resendSelected));
    page->append(resendButton_);
    return *page;
}

Gtk::Box& DevToolsPanel::buildHtmlPage()
{
    auto* page = Gtk::make_managed<Gtk::Box>(Gtk::Orientation::VERTICAL);
    htmlView_.set_editable(true);
    setAccessibleName(htmlView_, "Page HTML");
    htmlView_.set_wrap_mode(Gtk::WrapMode::NONE);
    htmlView_.add_css_class("devtools-html");
    htmlScroll_.set_vexpand(true);
    page->append(scrolled(htmlScroll_, htmlView_));

    auto* buttons = Gtk::make_managed<Gtk::Box>(Gtk::Orientation::HORIZONTAL, 8);
    buttons->set_margin_start(8);
    buttons->set_margin_top(6);
    buttons->set_margin_bottom(8);
    panelButton(refreshHtmlButton_, "↻ Refresh HTML", 130);
    setAccessibleName(refreshHtmlButton_, "Refresh HTML");
    setAccessibleName(applyHtmlButton_, "Apply HTML");
    panelButton(applyHtmlButton_, "✓ Apply", 90, "devtools-apply");
    panelButton(toggleEditButton_, "Live Edit: Off", 120);
    refreshHtmlButton_.signal_clicked().connect(sigc::mem_fun(*this, &DevToolsPanel::refreshHTML));
    applyHtmlButton_.signal_clicked().connect(sigc::mem_fun(*this, &DevToolsPanel::applyHTML));
    toggleEditButton_.signal_clicked().connect(sigc::mem_fun(*this, &DevToolsPanel::toggleLiveEdit));
    buttons->append(refreshHtmlButton_);
    buttons->append(applyHtmlButton_);
    buttons->append(toggleEditButton_);
    page->append(*buttons);
    return *page;
}

void DevToolsPanel::addColumn(const char* title, int width, std::string NetworkEntry::*field, bool expand)
{
    auto factory = Gtk::SignalListItemFactory::create();
    factory->signal_setup().connect(
        [](const Glib::RefPtr<Gtk::ListItem>& item) { item->set_child(*Gtk::make_managed<NetworkCell>()); });
    factory->signal_bind().connect([field](const Glib::RefPtr<Gtk::ListItem>& item) {
        auto* cell = dynamic_cast<NetworkCell*>(item->get_child());
        auto row = std::dynamic_pointer_cast<NetworkRow>(item->get_item());
        if (cell && row)
            cell->bind(row, field);
    });
    factory->signal_unbind().connect([](const Glib::RefPtr<Gtk::ListItem>& item) {
        if (auto* cell = dynamic_cast<NetworkCell*>(item->get_child()))
            cell->unbind();
    });
    auto column = Gtk::ColumnViewColumn::create(title, factory);
    column->set_fixed_width(width);
    column->set_expand(expand);
    column->set_resizable(true);
    networkTable_->append_column(column);
}

void DevToolsPanel::closeSelf()
{
    if (onClose_)
        onClose_();
}

void DevToolsPanel::tabChanged()
{
    if (stack_.get_visible_child_name() == "html")
        refreshHTML();
}

void DevToolsPanel::clear()
{
    // Messages that arrived before the clear belong to the page that is going away.
    pending_.clear();
    drain_.disconnect();
    entries_.clear();
    rows_->remove_all();
    consoleLineCount_ = 0;
    consoleLines_.clear();
    consoleBytes_ = 0;
    setText(consoleView_, "");
    setText(detailView_, "");
}

// Reading a message happens at once, while the value is at hand; applying it waits
// for the queue. Only the tab the logs belong to is heard.
void DevToolsPanel::didReceiveScriptMessage(const ScriptSender& sender, const ScriptValue& body)
{
    if (!sender.view || sender.view != webView().get())
        return;
    if (!body.isDictionary())
        return;
    const auto type = body.stringMember("type");
    if (!type)
        return;
    Message message;
    message.frame = sender.frame;
    if (*type == "network")
        message.type = Message::Type::Network;
    else if (*type == "network_response")
        message.type = Message::Type::Response;
    else if (*type == "console")
        message.type = Message::Type::Console;
    else
        return;
    const auto payload = body.member("payload");
    if (!payload || !payload->isDictionary())
        return;

    // Cut again here, in case anything long slipped past the page's script.
    auto shown = [&](const char* name, size_t limit = kShownCharacters) -> std::optional<std::string> {
        auto text = payload->stringMember(name);
        return text ? std::optional(cutText(*text, limit)) : std::nullopt;
    };
    switch (message.type) {
    case Message::Type::Network:
        message.id = shown("id");
        message.method = shown("method");
        message.url = shown("url");
        message.headers = shown("headers");
        message.body = shown("body");
        message.time = shown("time");
        break;
    case Message::Type::Response:
        message.id = shown("id");
        if (!message.id)
            return;
        message.status = shown("status", kShownResponseCharacters);
        message.preview = shown("preview", kShownResponseCharacters);
        break;
    case Message::Type::Console:
        message.level = shown("level", kShownResponseCharacters);
        message.text = shown("text");
        break;
    }
    pending_.push_back(std::move(message));
    if (pending_.size() > kMaxPending)
        pending_.pop_front();
    if (!drain_.connected())
        drain_ = Glib::signal_timeout().connect(
            sigc::mem_fun(*this, &DevToolsPanel::drainMessages), kBatchWaitMs, Glib::PRIORITY_DEFAULT_IDLE);
}

// Applies queued messages in arrival order for at most one batch budget. New rows go
// into the model in one splice at the top; responses to rows already shown redraw
// just those rows; console lines go into the buffer in one insert.
bool DevToolsPanel::drainMessages()
{
    const auto deadline = std::chrono::steady_clock::now() + kBatchBudget;
    std::vector<size_t> changed; // positions counted before this batch's new rows
    std::vector<std::string> lines;
    size_t added = 0, consoleBytes = 0;

    while (!pending_.empty() && std::chrono::steady_clock::now() < deadline && added < kBatchRows
        && consoleBytes < kBatchConsoleBytes) {
        for (int i = 0; i < 16 && !pending_.empty() && consoleBytes < kBatchConsoleBytes; ++i) {
            Message message = std::move(pending_.front());
            pending_.pop_front();
            switch (message.type) {
            case Message::Type::Network:
                entries_.insert({message.id.value_or(""), message.method.value_or("GET"), message.url.value_or(""),
                    message.headers.value_or("{}"), message.body.value_or(""), message.time.value_or(""), "pending", "",
                    message.frame});
                ++added;
                break;
            case Message::Type::Response: {
                const auto position = entries_.find(message.frame, *message.id);
                if (!position)
                    break;
                NetworkEntry& entry = entries_.at(*position);
                entry.status = message.status.value_or("");
                entry.responsePreview = message.preview.value_or("");
                if (*position >= added)
                    changed.push_back(*position - added);
                break;
            }
            case Message::Type::Console:
                lines.push_back("[" + message.level.value_or("log") + "] " + message.text.value_or(""));
                consoleBytes += lines.back().size();
                break;
            }
        }
    }

    for (size_t position : changed) {
        if (auto row = std::dynamic_pointer_cast<NetworkRow>(rows_->get_item(static_cast<guint>(position))))
            row->changed.emit();
    }
    added = std::min(added, entries_.size());
    if (added > 0) {
        std::vector<Glib::RefPtr<Glib::Object>> fresh;
        fresh.reserve(added);
        for (size_t position = 0; position < added; ++position)
            fresh.push_back(NetworkRow::create(entries_.shared(position)));
        // The rows of the entries that made way for these are the last ones.
        const guint kept = static_cast<guint>(entries_.size() - added);
        if (rows_->get_n_items() > kept)
            rows_->splice(kept, rows_->get_n_items() - kept, {});
        rows_->splice(0, 0, fresh);
    }
    if (!lines.empty())
        appendConsoleLines(lines);

    // A backlog goes on at the next idle moment, after drawing and input.
    if (!pending_.empty())
        drain_ = Glib::signal_idle().connect(
            sigc::mem_fun(*this, &DevToolsPanel::drainMessages), Glib::PRIORITY_DEFAULT_IDLE);
    return false;
}

// Appends `lines` in one insert, then lets the oldest lines go while more than
// kKeptConsoleLines or kKeptConsoleBytes are shown.
void DevToolsPanel::appendConsoleLines(const std::vector<std::string>& lines)
{
    std::string text;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (consoleLineCount_ + i > 0)
            text += '\n';
        text += lines[i];
        consoleLines_.push_back(
            {static_cast<size_t>(g_utf8_strlen(lines[i].data(), static_cast<gssize>(lines[i].size()))),
                lines[i].size()});
        consoleBytes_ += lines[i].size();
    }
    consoleLineCount_ += lines.size();
    auto buffer = consoleView_.get_buffer();
    buffer->insert(buffer->end(), text);

    size_t characters = 0;
    const size_t before = consoleLineCount_;
    while (consoleLineCount_ > 1 && (consoleLineCount_ > kKeptConsoleLines || consoleBytes_ > kKeptConsoleBytes)) {
        characters += consoleLines_.front().characters + 1; // with the line feed after it
        consoleBytes_ -= consoleLines_.front().bytes;
        consoleLines_.pop_front();
        --consoleLineCount_;
    }
    if (consoleLineCount_ < before)
        buffer->erase(buffer->begin(), buffer->get_iter_at_offset(static_cast<int>(characters)));
    consoleView_.scroll_to(consoleEnd_);
}

int DevToolsPanel::selectedRow() const
{
    const guint selected = selection_->get_selected();
    return selected == GTK_INVALID_LIST_POSITION ? -1 : static_cast<int>(selected);
}

void DevToolsPanel::selectionChanged()
{
    const int row = selectedRow();
    setText(detailView_, row >= 0 && static_cast<size_t>(row) < entries_.size() ? entries_.at(row).detailText() : "");
}

// The request goes again from the frame that made it, in the tab it was captured in
// (the logs are that tab's); the extension repeats it only while that frame still shows
// the document that captured it.
void DevToolsPanel::resendSelected()
{
    const int row = selectedRow();
    if (row < 0 || static_cast<size_t>(row) >= entries_.size())
        return;
    const NetworkEntry& entry = entries_.at(row);
    sendToPage(webView().get(), kResendMessage, g_variant_new("(ts)", entry.frame, entry.id.c_str()));
}

void DevToolsPanel::runInPage(const std::string& statement)
{
    runScript(webView().get(), statement);
}

// Read in the program's isolated world, where the page's own getters do not apply, and
// only up to a size: a page whose HTML is larger leaves the editor as it is rather than
// hand the browser a document of any size it likes.
void DevToolsPanel::refreshHTML()
{
    auto view = webView();
    if (!view)
        return;
    static const std::string read =
        "(function () { var html = document.documentElement.outerHTML; return html.length <= "
        + std::to_string(kMaxHtmlCharacters) + " ? html : null; })()";
    webkit_web_view_evaluate_javascript(
        view.get(), read.c_str(), -1, kScriptWorldName, nullptr, cancellable_.get(),
        [](GObject* source, GAsyncResult* result, gpointer data) {
            g_autoptr(GError) error = nullptr;
            g_autoptr(JSCValue) value =
                webkit_web_view_evaluate_javascript_finish(WEBKIT_WEB_VIEW(source), result, &error);
            // Cancelled means the panel is gone; any other error leaves the editor as it is.
            if (error || !value || !jsc_value_is_string(value))
                return;
            g_autofree char* html = jsc_value_to_string(value);
            setText(static_cast<DevToolsPanel*>(data)->htmlView_, html);
        },
        this);
}

void DevToolsPanel::applyHTML()
{
    // A one-element array makes the JSON text an expression whose element 0 is the
    // editor's text, exactly.
    runInPage("document.documentElement.outerHTML = [" + jsonStringLiteral(textOf(htmlView_)) + "][0];");
}

void DevToolsPanel::toggleLiveEdit()
{
    liveEditOn_ = !liveEditOn_;
    toggleEditButton_.set_label(liveEditOn_ ? "Live Edit: On" : "Live Edit: Off");
    runInPage(std::string("document.designMode = \"") + (liveEditOn_ ? "on" : "off") + "\";");
}

std::string DevToolsPanel::consoleText() const
{
    return textOf(consoleView_);
}
std::string DevToolsPanel::detailText() const
{
    return textOf(detailView_);
}
std::string DevToolsPanel::htmlText() const
{
    return textOf(htmlView_);
}

// Pages capture their requests and console only while someone looks: the active tab
// captures while the panel is shown, from the time it is shown, a navigation in it
// finishes or the tab becomes active. Only the program switches it: the switch is the
// extension's, which the page can read (as window.__quildevActive) but not change.
void DevToolsPanel::setShown(bool shown)
{
    set_visible(shown);
    setCapturing(webView().get(), shown);
}

void DevToolsPanel::pageDidFinishLoading(WebKitWebView* view)
{
    if (get_visible() && view == webView().get())
        setCapturing(view, true);
}

void DevToolsPanel::setWebView(WebKitWebView* view)
{
    auto previous = webView_.peek();
    if (previous.get() == view)
        return;
    // The logs are the tab's they were captured in; they go with it.
    if (previous)
        setCapturing(previous.get(), false);
    clear();
    webView_ = view;
    if (view && get_visible())
        setCapturing(view, true);
}

void DevToolsPanel::setCapturing(WebKitWebView* view, bool on)
{
    sendToPage(view, kCaptureMessage, g_variant_new("(b)", on));
}

} // namespace quillmere
