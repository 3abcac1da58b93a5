#include "packer/output_place.h"

#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

namespace {

fs::path Resolved(const std::string& path, std::error_code* code) {
    fs::path resolved = fs::weakly_canonical(fs::absolute(fs::u8path(path), *code), *code);
    // "dir/" resolves with an empty last part, which no path inside it has.
    return resolved.has_filename() ? resolved : resolved.parent_path();
}

bool Within(const fs::path& inner, const fs::path& outer) {
    auto part = inner.begin();
    for (const fs::path& step : outer) {
        if (part == inner.end() || *part != step) return false;
        ++part;
    }
    return true;
}

}  // namespace

std::string OutputPlaceFault(const std::string& out, const std::string& stub,
                             const std::string& folder) {
    std::error_code code;
    // Paths are UTF-8 inside the packer, whatever the system's narrow encoding.
    if (!stub.empty() && fs::equivalent(fs::u8path(out), fs::u8path(stub), code))
        return out + ": is the stub; create-setup would write the setup program over it";
    code.clear();
    fs::path place = Resolved(out, &code);
    fs::path packed = Resolved(folder, &code);
    if (!code && Within(place, packed))
        return out + ": lies in " + folder + ", the folder it packs; the next pack would carry it";
    return "";
}
