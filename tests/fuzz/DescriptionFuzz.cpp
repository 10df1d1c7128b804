// libFuzzer target: the signed description, decoded on its own and judged inside an image by a
// board that trusts one key. Built and run by scripts/fuzz.sh.
//
// Input: one flag byte, then the description's payload. Flag bit 0: the payload's entries are
// signed with the trusted key first (the payload then only says which entries), so that the
// fuzzer also reaches the checks behind a good signature.

#include <cstdlib>
#include <string>
#include <vector>

#include "common/Crc32.h"
#include "common/ImageCheck.h"
#include "common/ImageDescription.h"
#include "common/ImageStream.h"
#include "tests/support/MemorySource.h"
#include "tests/support/RfcKey.h"

namespace {

std::string s_store;

// An image of the header, the description and one block "abc".
std::vector<uint8_t> imageAround(const std::vector<uint8_t>& description, uint8_t* header) {
    std::vector<uint8_t> image(header, header + sizeof(ImageHeader));
    std::vector<uint8_t> block(sizeof(BlockHeader));
    FwImage::encodeBlockHeader(
        {ImageDescription::blockId, uint32_t(description.size()),
         Crc32::calculate(description.data(), unsigned(description.size()), 0)},
        block.data());
    image.insert(image.end(), block.begin(), block.end());
    image.insert(image.end(), description.begin(), description.end());
    FwImage::encodeBlockHeader({1, 3, 0x352441C2}, block.data());
    image.insert(image.end(), block.begin(), block.end());
    image.insert(image.end(), {'a', 'b', 'c'});
    return image;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    s_store = RfcKey::trustStore();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) {
        return 0;
    }
    std::vector<uint8_t> payload(data + 1, data + size);
    ImageHeader fields = {};
    memcpy(fields.magic, "VexilImg", 8);
    memcpy(fields.product, "Dorvyn", 6);
    uint8_t header[sizeof(ImageHeader)];
    if ((data[0] & 1) != 0) {
        // Entries of 12 bytes each from the input, signed for real.
        std::vector<ImageDescription::Entry> entries;
        for (size_t at = 0; at + 12 <= payload.size() && entries.size() < 64; at += 12) {
            entries.push_back({FwImage::bigEndian(&payload[at]),
                               FwImage::bigEndian(&payload[at + 4]),
                               FwImage::bigEndian(&payload[at + 8]),
                               {}});
        }
        if (entries.empty()) {
            return 0;
        }
        fields.length = uint32_t(60 + 12 + ImageDescription::payloadSize(entries.size()) + 15);
        FwImage::encodeHeader(fields, header);
        payload = ImageDescription::build(header, entries, RfcKey::secretKey());
    } else {
        fields.length = uint32_t(60 + 12 + payload.size() + 15);
        FwImage::encodeHeader(fields, header);
    }

    ImageDescription::Description description;
    std::string why;
    if (description.decode(payload.data(), payload.size(), why)) {
        if (payload.size() != ImageDescription::payloadSize(description.count())) {
            abort();
        }
        uint64_t sum = 0;
        for (size_t i = 0; i < description.count(); ++i) {
            sum += description.entry(i).size;
        }
        if (description.listedLength() < sum) {
            abort();
        }
    }

    const SigningKeys::TrustStore store = SigningKeys::TrustStore::load(s_store);
    FwImage::Parser parser;
    FwImage::ImageCheck check(FwImage::standardCapacity, store);
    const std::vector<uint8_t> image = imageAround(payload, header);
    MemorySource source(image);
    FwImage::readImage(source, parser, check);
    std::string verdict;
    const bool accepted = check.accepts(parser, verdict);
    if (accepted != verdict.empty()) {
        abort();
    }
    // A lone "abc" is never a whole set, whatever the description says; and a description the
    // key did not sign is never verified.
    if (verdict.empty() || (check.verified() && (data[0] & 1) == 0)) {
        abort();
    }
    return 0;
}
