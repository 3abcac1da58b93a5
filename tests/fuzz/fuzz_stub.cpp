// Makes a setup program from any input as a stub: a refusal must say why;
// an accepted stub must give, the same bytes each time, a program that reads
// back with every resource of the stub, the payload as resource 100, the
// right checksum, and that is refused as a stub in turn.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "packer/stub.h"

namespace {

// Odd-sized, so that the checksum meets a part that ends mid-word.
constexpr unsigned char kArchive[] = "payload bytes";

void Require(bool condition) {
    if (!condition) std::abort();
}

std::vector<unsigned char> Joined(const SetupImage& image) {
    std::vector<unsigned char> out = image.head;
    out.insert(out.end(), kArchive, kArchive + sizeof kArchive);
    out.insert(out.end(), image.tail.begin(), image.tail.end());
    return out;
}

bool SameData(const ResourceData& a, const ResourceData& b) {
    return a.language == b.language && a.codePage == b.codePage && a.size == b.size &&
           std::equal(a.data, a.data + a.size, b.data);
}

bool SameInfo(const ResourceDirectoryInfo& a, const ResourceDirectoryInfo& b) {
    return a.characteristics == b.characteristics && a.timeDateStamp == b.timeDateStamp &&
           a.majorVersion == b.majorVersion && a.minorVersion == b.minorVersion;
}

bool SameTree(const ResourceTree& a, const ResourceTree& b) {
    if (!SameInfo(a.info, b.info) || a.types.size() != b.types.size()) return false;
    for (size_t t = 0; t < a.types.size(); ++t) {
        const ResourceType &x = a.types[t], &y = b.types[t];
        if (!(x.key == y.key) || !SameInfo(x.info, y.info) || x.names.size() != y.names.size())
            return false;
        for (size_t n = 0; n < x.names.size(); ++n) {
            const ResourceName &p = x.names[n], &q = y.names[n];
            if (!(p.key == q.key) || !SameInfo(p.info, q.info) ||
                p.languages.size() != q.languages.size())
                return false;
            for (size_t l = 0; l < p.languages.size(); ++l)
                if (!SameData(p.languages[l], q.languages[l])) return false;
        }
    }
    return true;
}

bool IsRcdata(const ResourceType& type) {
    return !type.key.named && type.key.id == kResourceTypeRcdata;
}

// The tree less the payload, and less the type that holds it when the stub
// had no such type.
void DropPayload(ResourceTree* tree, const ResourceTree& stub) {
    auto type = std::find_if(tree->types.begin(), tree->types.end(), IsRcdata);
    if (type == tree->types.end()) return;
    type->names.erase(std::remove_if(type->names.begin(), type->names.end(),
                                     [](const ResourceName& name) {
                                         return !name.key.named &&
                                                name.key.id == kPayloadResourceId;
                                     }),
                      type->names.end());
    if (type->names.empty() && std::none_of(stub.types.begin(), stub.types.end(), IsRcdata))
        tree->types.erase(type);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
    SetupImage image, test;
    std::string fault, testFault;
    bool made = MakeSetupImage(input, size, kArchive, sizeof kArchive, false, &image, &fault);
    bool testMade = MakeSetupImage(input, size, kArchive, sizeof kArchive, true, &test, &testFault);
    Require(made == fault.empty() && testMade == testFault.empty());
    Require(!made || (testMade && test.head == image.head && test.tail == image.tail));
    if (!testMade) return 0;

    std::vector<unsigned char> out = Joined(test);
    PeHeaders stubHeaders, headers;
    ResourceTree stubTree, tree;
    Require(ReadPeHeaders(input, size, &stubHeaders, &fault));
    Require(ReadResources(input, stubHeaders, &stubTree, &fault));
    Require(ReadPeHeaders(out.data(), out.size(), &headers, &fault));
    Require(ReadResources(out.data(), headers, &tree, &fault));
    const ResourceData* payload =
        FindResource(tree, kResourceTypeRcdata, kPayloadResourceId, kPayloadLanguage);
    Require(payload != nullptr && payload->size == sizeof kArchive &&
            std::equal(kArchive, kArchive + sizeof kArchive, payload->data));
    DropPayload(&tree, stubTree);
    Require(SameTree(tree, stubTree));

    uint64_t field = PeChecksumOffset(headers);
    uint32_t stored = static_cast<uint32_t>(out[field]) | out[field + 1] << 8 |
                      out[field + 2] << 16 | static_cast<uint32_t>(out[field + 3]) << 24;
    Require(stored == PeChecksum({ByteRange{out.data(), out.size()}}, field));

    SetupImage again;
    Require(
        !MakeSetupImage(out.data(), out.size(), kArchive, sizeof kArchive, true, &again, &fault));
    Require(MakeSetupImage(input, size, kArchive, sizeof kArchive, true, &again, &fault));
    Require(again.head == test.head && again.tail == test.tail);
    return 0;
}
