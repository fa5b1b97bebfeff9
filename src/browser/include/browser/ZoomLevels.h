// The page zoom the user chose for each site, kept in the profile database. Levels move
// in the steps other browsers use; 100% is the default and is not stored.
#pragma once

#include "platform/ProfileDatabase.h"

#include <functional>
#include <map>
#include <memory>
#include <string>

namespace quillmere {

class ZoomLevels {
public:
    static constexpr double kSteps[] = {0.3, 0.5, 0.67, 0.8, 0.9, 1.0, 1.1, 1.2, 1.33, 1.5, 1.7, 2.0, 2.4, 3.0};

    // The step after `level` towards `direction` (+1 in, -1 out), or `level` at either end.
    // A level between steps (set by a page or an older version) moves to its neighbour.
    static double step(double level, int direction);

    // Reads the stored levels off the main thread; `onLoaded` runs once they are known.
    explicit ZoomLevels(std::shared_ptr<ProfileDatabase> database);

    // 1.0 for a host without a level and for pages without a host.
    double levelFor(const std::string& host) const;
    void set(const std::string& host, double level);

    std::function<void()> onLoaded;

private:
    std::shared_ptr<ProfileDatabase> database_;
    std::map<std::string, double> levels_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

} // namespace quillmere
