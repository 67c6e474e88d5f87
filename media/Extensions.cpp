#include "media/Extensions.hpp"

namespace quillon {

std::string lowerExtension(const std::filesystem::path& file)
{
    // std::filesystem::path::extension() treats a leading dot as part of the name, as wanted.
    std::string ext = file.filename().extension().string();
    if (ext.size() <= 1)
        return {};
    ext.erase(0, 1);
    for (char& c : ext) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return ext;
}

}  // namespace quillon
