#include "devtools/DevToolsPanel.h"

namespace quillmere {

DevToolsPanel::DevToolsPanel()
    : Gtk::Box(Gtk::Orientation::VERTICAL)
{
    add_css_class("devtools-panel");
}

DevToolsPanel::~DevToolsPanel() = default;

void DevToolsPanel::clear()
{
}

void DevToolsPanel::didReceiveScriptMessage(WebKitWebView*, const ScriptValue&)
{
}

} // namespace quillmere
