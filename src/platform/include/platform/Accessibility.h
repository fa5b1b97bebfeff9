// Names and states that screen readers say for our own controls. Without a name, GTK
// falls back to the widget's type name ("gtkmm__GtkButton"), which helps nobody.
#pragma once

#include <gtk/gtk.h>
#include <gtkmm/label.h>
#include <gtkmm/widget.h>

#include <string>

namespace quillmere {

inline void setAccessibleName(Gtk::Widget& widget, const std::string& name)
{
    gtk_accessible_update_property(GTK_ACCESSIBLE(widget.gobj()), GTK_ACCESSIBLE_PROPERTY_LABEL, name.c_str(), -1);
}

inline void setAccessibleDescription(Gtk::Widget& widget, const std::string& description)
{
    gtk_accessible_update_property(
        GTK_ACCESSIBLE(widget.gobj()), GTK_ACCESSIBLE_PROPERTY_DESCRIPTION, description.c_str(), -1);
}

inline void setAccessibleSelected(Gtk::Widget& widget, bool selected)
{
    gtk_accessible_update_state(GTK_ACCESSIBLE(widget.gobj()), GTK_ACCESSIBLE_STATE_SELECTED, selected, -1);
}

// `widget` is named by what `label` shows.
inline void setAccessibleLabelledBy(Gtk::Widget& widget, Gtk::Widget& label)
{
    gtk_accessible_update_relation(
        GTK_ACCESSIBLE(widget.gobj()), GTK_ACCESSIBLE_RELATION_LABELLED_BY, label.gobj(), nullptr, -1);
}

// A status line that is empty at times: while it is, screen readers hear `emptyName`
// (an empty label would be announced by its type name); otherwise its text.
void nameStatusLabel(Gtk::Label& label, const std::string& emptyName);

// Names the parts GTK builds inside our widgets (scroll bars, check marks, column
// headers, list rows), which would otherwise be announced by their type names. Run it
// once a window or panel is built; rows made later are named as they are bound.
void nameInnerWidgets(Gtk::Widget& root);

} // namespace quillmere
