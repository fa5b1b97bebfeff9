#include "browser/QuestionBar.h"

#include "platform/Accessibility.h"

namespace quillmere {

QuestionBar::QuestionBar(const std::string& text)
    : Gtk::Box(Gtk::Orientation::HORIZONTAL)
    , label_(text)
    , allow_("Allow")
    , deny_("Deny")
{
    add_css_class("question-bar");
    set_spacing(8);
    label_.set_xalign(0);
    label_.set_hexpand(true);
    label_.set_ellipsize(Pango::EllipsizeMode::MIDDLE);
    append(label_);
    for (auto [button, allowed] : {std::pair {&deny_, false}, std::pair {&allow_, true}}) {
        button->set_focus_on_click(false);
        setAccessibleName(*button, (allowed ? "Allow: " : "Deny: ") + text);
        button->signal_clicked().connect([this, allowed] {
            if (onAnswer)
                onAnswer(allowed);
        });
        append(*button);
    }
    allow_.add_css_class("suggested-action");
}

} // namespace quillmere
