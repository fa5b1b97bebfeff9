// Site icons: the engine keeps each page's icon (its favicon database, on the default
// network session) once keeping them is switched on; tabs, history and suggestions show
// them from there.
#pragma once

#include <gtk/gtk.h>

#include <functional>
#include <string>

namespace quillmere::SiteIcons {

// Switches icon keeping on; call before the first web view loads.
void enable();

// Looks up the stored icon of the page at `uri`; `done` runs on the main loop with the
// icon, or null when there is none.
void lookup(const std::string& uri, std::function<void(GdkTexture*)> done);

// Shows the stored icon of `uri` in `image` when it arrives, unless the image is gone.
void showIn(GtkImage* image, const std::string& uri);

// Forgets every stored icon.
void clear();

} // namespace quillmere::SiteIcons
