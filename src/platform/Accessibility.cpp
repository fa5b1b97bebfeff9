#include "platform/Accessibility.h"

#include <cstring>
#include <string>

namespace quillmere {

namespace {

bool isType(GtkWidget* widget, const char* type)
{
    return std::strcmp(G_OBJECT_TYPE_NAME(widget), type) == 0;
}

void name(GtkWidget* widget, const std::string& text)
{
    gtk_accessible_update_property(GTK_ACCESSIBLE(widget), GTK_ACCESSIBLE_PROPERTY_LABEL, text.c_str(), -1);
}

// The text of the first label inside `widget`, or "".
std::string labelText(GtkWidget* widget)
{
    if (GTK_IS_LABEL(widget))
        return gtk_label_get_text(GTK_LABEL(widget));
    for (GtkWidget* child = gtk_widget_get_first_child(widget); child; child = gtk_widget_get_next_sibling(child))
        if (auto text = labelText(child); !text.empty())
            return text;
    return "";
}

void walk(GtkWidget* widget)
{
    if (GTK_IS_SCROLLBAR(widget)) {
        const bool vertical = gtk_orientable_get_orientation(GTK_ORIENTABLE(widget)) == GTK_ORIENTATION_VERTICAL;
        const char* text = vertical ? "Vertical scroll bar" : "Horizontal scroll bar";
        name(widget, text);
        for (GtkWidget* part = gtk_widget_get_first_child(widget); part; part = gtk_widget_get_next_sibling(part))
            name(part, text);
    } else if (isType(widget, "GtkBuiltinIcon")) {
        name(widget, "Indicator");
    } else if (isType(widget, "GtkColumnViewTitle")) {
        name(widget, labelText(widget) + " column");
    } else if (isType(widget, "GtkListItemWidget") && gtk_widget_get_first_child(widget)
        && isType(gtk_widget_get_first_child(widget), "GtkColumnViewTitle")) {
        name(widget, "Column headers");
    } else if (isType(widget, "GtkColumnListView")) {
        name(widget, "Rows");
    } else if (GTK_IS_STACK_SWITCHER(widget)) {
        name(widget, "Sections");
    } else if (GTK_IS_STACK(widget)) {
        // Each page is an accessible object of its own, read out by its title.
        for (GtkWidget* child = gtk_widget_get_first_child(widget); child; child = gtk_widget_get_next_sibling(child)) {
            GtkStackPage* page = gtk_stack_get_page(GTK_STACK(widget), child);
            const char* title = page ? gtk_stack_page_get_title(page) : nullptr;
            const char* pageName = page ? gtk_stack_page_get_name(page) : nullptr;
            if (page)
                gtk_accessible_update_property(GTK_ACCESSIBLE(page), GTK_ACCESSIBLE_PROPERTY_LABEL,
                    title          ? title
                        : pageName ? pageName
                                   : "Page",
                    -1);
        }
    } else if (GTK_IS_DROP_DOWN(widget)) {
        for (GtkWidget* part = gtk_widget_get_first_child(widget); part; part = gtk_widget_get_next_sibling(part))
            if (GTK_IS_TOGGLE_BUTTON(part))
                name(part, "Choose");
    } else if (isType(widget, "GtkListItemWidget")) {
        if (auto text = labelText(widget); !text.empty())
            name(widget, text);
    }
    for (GtkWidget* child = gtk_widget_get_first_child(widget); child; child = gtk_widget_get_next_sibling(child))
        walk(child);
}

} // namespace

void nameStatusLabel(Gtk::Label& label, const std::string& emptyName)
{
    auto update = [&label, emptyName] {
        const std::string text = label.get_text();
        setAccessibleName(label, text.empty() ? emptyName : text);
    };
    update();
    label.property_label().signal_changed().connect(update);
}

void nameInnerWidgets(Gtk::Widget& root)
{
    walk(root.gobj());
}

} // namespace quillmere
