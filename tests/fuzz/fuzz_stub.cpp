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
    Require(SameResources(tree, stubTree));

    uint64_t field = PeChecksumOffset(headers);
    Require(Le32(out.data() + field) == PeChecksum({ByteRange{out.data(), out.size()}}, field));

    SetupImage again;
    Require(
        !MakeSetupImage(out.data(), out.size(), kArchive, sizeof kArchive, true, &again, &fault));
    Require(MakeSetupImage(input, size, kArchive, sizeof kArchive, true, &again, &fault));
    Require(again.head == test.head && again.tail == test.tail);
    return 0;
}
