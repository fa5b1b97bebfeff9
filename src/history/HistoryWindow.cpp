#include "history/HistoryWindow.h"

#include "history/SiteIcons.h"
#include "platform/GObjectPtr.h"

#include <gtkmm/image.h>
#include <gtkmm/listboxrow.h>

namespace quillmere {

namespace {

// One visit in the list; day headings are plain rows.
class VisitRow : public Gtk::ListBoxRow {
public:
    explicit VisitRow(const HistoryVisit& visit)
        : id(visit.id)
        , uri(visit.uri)
        , shown(visit.title.empty() ? visit.uri : visit.title)
        , box_(Gtk::Orientation::HORIZONTAL, 8)
    {
        add_css_class("history-visit");
        icon_.set_pixel_size(16);
        SiteIcons::showIn(icon_.gobj(), visit.uri);
        g_autoptr(GDateTime) when = g_date_time_new_from_unix_local(visit.time / G_USEC_PER_SEC);
        time_.set_text(when ? GCharPtr(g_date_time_format(when, "%H:%M")).get() : "");
        time_.add_css_class("history-time");
        title_.set_text(shown);
        title_.set_xalign(0);
        title_.set_hexpand(true);
        title_.set_ellipsize(Pango::EllipsizeMode::END);
        title_.add_css_class("history-title");
        address_.set_text(visit.uri);
        address_.set_xalign(0);
        address_.set_max_width_chars(36);
        address_.set_ellipsize(Pango::EllipsizeMode::END);
        address_.add_css_class("history-address");
        deleteButton.set_label("✕");
        deleteButton.set_tooltip_text("Delete from history");
        deleteButton.add_css_class("history-delete");
        deleteButton.set_focus_on_click(false);
        for (Gtk::Widget* part :
            std::initializer_list<Gtk::Widget*> {&time_, &icon_, &title_, &address_, &deleteButton})
            box_.append(*part);
        set_child(box_);
    }

    const std::int64_t id;
    const std::string uri;
    const std::string shown; // the title, or the address of a page without one
    Gtk::Button deleteButton;

private:
    Gtk::Box box_;
    Gtk::Label time_;
    Gtk::Image icon_;
    Gtk::Label title_;
    Gtk::Label address_;
};

class DayRow : public Gtk::ListBoxRow {
public:
    explicit DayRow(const std::string& day)
        : day(day)
        , label_(day)
    {
        add_css_class("history-day");
        label_.set_xalign(0);
        set_child(label_);
        set_selectable(false);
        set_activatable(false);
    }

    const std::string day;

private:
    Gtk::Label label_;
};

} // namespace

HistoryWindow::HistoryWindow(std::shared_ptr<HistoryStore> history)
    : history_(std::move(history))
    , content_(Gtk::Orientation::VERTICAL)
    , header_(Gtk::Orientation::HORIZONTAL, 8)
    , clearButton_("Clear History")
    , empty_("No history")
{
    set_title("History");
    set_default_size(720, 560);
    set_hide_on_close(true);
    add_css_class("history-window");

    search_.set_placeholder_text("Search history");
    search_.set_hexpand(true);
    search_.signal_search_changed().connect([this] { reload(); });
    clearButton_.add_css_class("settings-button");
    clearButton_.signal_clicked().connect([this] {
        if (onClear)
            onClear();
    });
    header_.add_css_class("history-header");
    header_.append(search_);
    header_.append(clearButton_);

    list_.set_selection_mode(Gtk::SelectionMode::SINGLE);
    list_.add_css_class("history-list");
    list_.signal_row_activated().connect([this](Gtk::ListBoxRow* row) {
        if (auto* visit = dynamic_cast<VisitRow*>(row); visit && onOpen)
            onOpen(visit->uri);
    });
    empty_.add_css_class("history-empty");
    list_.set_placeholder(empty_);
    scroller_.set_child(list_);
    scroller_.set_vexpand(true);
    scroller_.signal_edge_reached().connect([this](Gtk::PositionType edge) {
        if (edge == Gtk::PositionType::BOTTOM)
            fetchMore();
    });

    content_.append(header_);
    content_.append(scroller_);
    set_child(content_);
    signal_show().connect([this] { reload(); });
}

HistoryWindow::~HistoryWindow()
{
    *alive_ = false;
}

void HistoryWindow::reload()
{
    std::vector<Gtk::Widget*> rows;
    for (Gtk::Widget* row = list_.get_first_child(); row; row = row->get_next_sibling())
        if (dynamic_cast<Gtk::ListBoxRow*>(row))
            rows.push_back(row);
    for (Gtk::Widget* row : rows)
        list_.remove(*row);
    visits_.clear();
    lastDay_.clear();
    loaded_ = false;
    exhausted_ = false;
    // A fetch still under way is dropped by the newer one.
    fetching_ = false;
    fetchMore();
}

void HistoryWindow::fetchMore()
{
    if (fetching_ || exhausted_)
        return;
    fetching_ = true;
    std::weak_ptr<bool> alive = alive_;
    history_->listVisits(search_.get_text(), visits_.empty() ? nullptr : &visits_.back(), kPageSize,
        [this, alive](std::vector<HistoryVisit> visits) {
            if (alive.expired())
                return;
            fetching_ = false;
            exhausted_ = static_cast<int>(visits.size()) < kPageSize;
            append(visits);
            loaded_ = true;
        });
}

std::string HistoryWindow::dayOf(std::int64_t time)
{
    g_autoptr(GDateTime) when = g_date_time_new_from_unix_local(time / G_USEC_PER_SEC);
    g_autoptr(GDateTime) now = g_date_time_new_now_local();
    if (!when || !now)
        return "";
    const auto sameDay = [](GDateTime* a, GDateTime* b) {
        return g_date_time_get_year(a) == g_date_time_get_year(b)
            && g_date_time_get_day_of_year(a) == g_date_time_get_day_of_year(b);
    };
    if (sameDay(when, now))
        return "Today";
    g_autoptr(GDateTime) yesterday = g_date_time_add_days(now, -1);
    if (sameDay(when, yesterday))
        return "Yesterday";
    return GCharPtr(g_date_time_format(when, "%A, %e %B %Y")).get();
}

void HistoryWindow::append(const std::vector<HistoryVisit>& visits)
{
    for (const auto& visit : visits) {
        const std::string day = dayOf(visit.time);
        if (day != lastDay_) {
            list_.append(*Gtk::make_managed<DayRow>(day));
            lastDay_ = day;
        }
        auto* row = Gtk::make_managed<VisitRow>(visit);
        const std::int64_t id = visit.id;
        row->deleteButton.signal_clicked().connect([this, id] { remove(id); });
        list_.append(*row);
        visits_.push_back(visit);
    }
}

void HistoryWindow::remove(std::int64_t visitId)
{
    history_->deleteVisit(visitId);
    std::erase_if(visits_, [&](const HistoryVisit& visit) { return visit.id == visitId; });
    for (Gtk::Widget* row = list_.get_first_child(); row; row = row->get_next_sibling()) {
        auto* visit = dynamic_cast<VisitRow*>(row);
        if (!visit || visit->id != visitId)
            continue;
        Gtk::Widget* before = row->get_prev_sibling();
        Gtk::Widget* after = row->get_next_sibling();
        list_.remove(*row);
        // A day left without visits loses its heading.
        if (dynamic_cast<DayRow*>(before) && !dynamic_cast<VisitRow*>(after)) {
            if (static_cast<DayRow*>(before)->day == lastDay_)
                lastDay_.clear();
            list_.remove(*before);
        }
        return;
    }
}

std::vector<std::string> HistoryWindow::lines() const
{
    std::vector<std::string> shown;
    for (const Gtk::Widget* row = list_.get_first_child(); row; row = row->get_next_sibling()) {
        if (auto* day = dynamic_cast<const DayRow*>(row))
            shown.push_back("# " + day->day);
        else if (auto* visit = dynamic_cast<const VisitRow*>(row))
            shown.push_back(visit->shown);
    }
    return shown;
}

Gtk::Button* HistoryWindow::deleteButton(std::int64_t visitId)
{
    for (Gtk::Widget* row = list_.get_first_child(); row; row = row->get_next_sibling())
        if (auto* visit = dynamic_cast<VisitRow*>(row); visit && visit->id == visitId)
            return &visit->deleteButton;
    return nullptr;
}

void HistoryWindow::openVisit(std::int64_t visitId)
{
    for (Gtk::Widget* row = list_.get_first_child(); row; row = row->get_next_sibling())
        if (auto* visit = dynamic_cast<VisitRow*>(row); visit && visit->id == visitId)
            visit->activate();
}

} // namespace quillmere
