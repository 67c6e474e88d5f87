// Placeholder until images mode lands: keeps the bridge linkable. Replaced by the real import.
#include "bridge/Bridge.hpp"

namespace quillon {

void Bridge::chooseImages(std::int64_t id, const Json&) { resolve(id, false, "images mode is not built yet"); }
void Bridge::importImages(std::int64_t id, const Json&) { resolve(id, false, "images mode is not built yet"); }
void Bridge::streamImages(const std::vector<std::filesystem::path>&, std::optional<std::int64_t> resolveId)
{
    if (resolveId)
        resolve(*resolveId, false, "images mode is not built yet");
}
void Bridge::handleDrop(std::vector<std::filesystem::path>) {}

}  // namespace quillon
