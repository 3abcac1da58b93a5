#include "packer/payload.h"

#include "packer/pe.h"
#include "packer/resource_tree.h"
#include "packer/stub.h"

bool FindPayload(const unsigned char* data, size_t size, PayloadSpan* payload, std::string* fault) {
    PeHeaders headers;
    std::string notProgram;
    if (!ReadPeHeaders(data, size, &headers, &notProgram)) {
        *payload = PayloadSpan{data, size};
        return true;
    }
    ResourceTree tree;
    if (!ReadResources(data, headers, &tree, fault)) return false;
    // Whatever its language: list and verify show what a program carries.
    for (const ResourceType& type : tree.types) {
        if (type.key.named || type.key.id != kResourceTypeRcdata) continue;
        for (const ResourceName& name : type.names)
            if (!name.key.named && name.key.id == kPayloadResourceId && !name.languages.empty()) {
                const ResourceData& found = name.languages.front();
                *payload = PayloadSpan{found.data, found.size, true, headers.characteristics};
                return true;
            }
    }
    *fault = "a program without resource 100, the payload: not a setup program";
    return false;
}
