// A question a page puts to the user, in a bar under the toolbar of its own tab:
// "<host> wants to …" with "Allow" and "Deny".
#pragma once

#include <gtkmm/box.h>
#include <gtkmm/button.h>
#include <gtkmm/label.h>

#include <functional>
#include <string>

namespace quillmere {

class QuestionBar : public Gtk::Box {
public:
    explicit QuestionBar(const std::string& text);

    std::string text() const { return label_.get_text(); }
    Gtk::Button& allowButton() { return allow_; }
    Gtk::Button& denyButton() { return deny_; }

    std::function<void(bool allowed)> onAnswer;

private:
    Gtk::Label label_;
    Gtk::Button allow_;
    Gtk::Button deny_;
};

} // namespace quillmere
