// Placeholder until images mode lands: keeps the bridge linkable. Replaced by the real export.
#include "bridge/Bridge.hpp"

namespace quillon {

void Bridge::exportImages(std::int64_t id, const Json&) { resolve(id, false, "images mode is not built yet"); }
WriteResult Bridge::writeImages(const std::vector<std::string>&, const std::filesystem::path&,
                                const std::string&, double)
{
    return {};
}

}  // namespace quillon
