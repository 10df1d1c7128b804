#include "common/ImageCheck.h"

#include <algorithm>
#include <cstring>

#include "StringTool/StringTool.h"

namespace FwImage {

namespace {

std::string blockName(uint32_t id, int slot) {
    return slot < 0 ? StringTool::stringf("block %u", id)
                    : StringTool::stringf("block %u (%s)", id, s_volumes[slot].name);
}

} // namespace

ImageCheck::ImageCheck(Capacity capacity, const SigningKeys::TrustStore& store)
    : m_capacity(std::move(capacity)), m_store(store),
      m_enforced(store.state() != SigningKeys::TrustStore::Absent) {}

void ImageCheck::reject(Parser& parser, const std::string& reason) {
    if (m_rejection.empty()) {
        m_rejection = reason;
    }
    parser.setError(Parser::BadImage);
}

void ImageCheck::onImageHeader(Parser& parser, const uint8_t* raw) {
    memcpy(m_rawHeader, raw, sizeof m_rawHeader);
    m_header = parser.m_imageHeader;
    const ImageHeader& header = m_header;
    if (!hasExpectedIdentity(header)) {
        reject(parser, "the image is for another board (magic '" +
                           printable(fieldText(header.magic, sizeof header.magic)) +
                           "', product '" +
                           printable(fieldText(header.product, sizeof header.product)) + "')");
    }
}

void ImageCheck::onBlockHeader(Parser& parser, const uint8_t*) {
    const BlockHeader& block = parser.m_blockHeader;
    m_slot = -1;
    if (m_blocks++ == 0 && block.id == ImageDescription::blockId) {
        m_inDescription = true;
        m_descriptionSeen = true;
        m_descriptionSize = block.size;
        if (m_enforced && !ImageDescription::plausibleSize(block.size)) {
            reject(parser, StringTool::stringf("the signed description is malformed: it is %u "
                                               "bytes",
                                               block.size));
        }
        return;
    }
    const int slot = findSlot(block.id);
    if (m_enforced && !matchesEntry(parser, block, slot)) {
        return;
    }
    if (slot < 0) {
        return;
    }
    const VolumeSlot& volume = s_volumes[slot];
    const uint64_t capacity = m_capacity(slot);
    const std::string name = blockName(block.id, slot);
    if (block.size > capacity) {
        reject(parser, StringTool::stringf(
                           "%s is %u bytes, more than the %llu bytes of %s", name.c_str(),
                           block.size, static_cast<unsigned long long>(capacity), volume.newName));
        return;
    }
    if (block.size > volume.size) {
        m_warnings.push_back(StringTool::stringf(
            "%s is %u bytes, more than %s's %u; it fits only because UBI rounds the volume up "
            "to %llu",
            name.c_str(), block.size, volume.name, volume.size,
            static_cast<unsigned long long>(capacity)));
    }
    if (block.size == 0 && !volume.mayBeEmpty) {
        m_warnings.push_back(name + " is empty");
    }
    if (m_slotBlocks[slot]++ == 1) {
        m_warnings.push_back(name + " comes more than once; the last one is installed");
    }
    m_slot = slot;
    m_slotVerified[slot] = false;
}

// Every block after the description must be the next one it lists, before its slot is touched.
bool ImageCheck::matchesEntry(Parser& parser, const BlockHeader& block, int slot) {
    const std::string name = blockName(block.id, slot);
    if (!m_descriptionVerified) {
        reject(parser, "the image is not signed");
        return false;
    }
    if (m_nextEntry == m_description.count()) {
        reject(parser, StringTool::stringf("%s is one more than the signed description lists",
                                           name.c_str()));
        return false;
    }
    m_entry = m_description.entry(m_nextEntry);
    const std::string mismatch = entryMismatch(block, m_nextEntry++);
    if (!mismatch.empty()) {
        reject(parser, mismatch);
        return false;
    }
    return true;
}

// Why the block header is not entry `index`; empty when it is.
std::string ImageCheck::entryMismatch(const BlockHeader& block, size_t index) const {
    const ImageDescription::Entry entry = m_description.entry(index);
    if (block.id == entry.id && block.size == entry.size && block.crc == entry.crc) {
        return "";
    }
    return StringTool::stringf("%s is not the block the signed description lists next (entry %zu: "
                               "ID %u, %u bytes, CRC-32 %08x; the image has %u bytes, CRC-32 %08x)",
                               blockName(block.id, findSlot(block.id)).c_str(), index + 1, entry.id,
                               entry.size, entry.crc, block.size, block.crc);
}

// Each listed block's header where the description says it begins, as far as the source can
// look: the first one that is not its entry is the one the stream would stop at.
void ImageCheck::checkAhead(Parser& parser) {
    uint64_t at = sizeof(ImageHeader) + sizeof(BlockHeader) + m_descriptionSize;
    for (size_t index = 0; m_source != nullptr && index < m_description.count(); ++index) {
        uint8_t raw[sizeof(BlockHeader)];
        if (!m_source->readAt(at, raw, sizeof raw)) {
            return;
        }
        const BlockHeader block = decodeBlockHeader(raw);
        const std::string mismatch = entryMismatch(block, index);
        if (!mismatch.empty()) {
            reject(parser, mismatch);
            return;
        }
        at += sizeof raw + block.size;
    }
}

// The description has arrived whole and passed its CRC: with a trust store it must verify
// before anything else of the image is let through.
void ImageCheck::checkDescription(Parser& parser) {
    std::string why;
    m_descriptionWellFormed =
        m_descriptionHave == m_descriptionSize &&
        m_description.decode(m_descriptionBytes.data(), m_descriptionSize, why);
    if (!m_descriptionWellFormed) {
        m_descriptionProblem = "the signed description is malformed: " + why;
    } else if (m_store.state() == SigningKeys::TrustStore::Absent) {
        return; // nothing to verify it with: the key it names stays a claim
    } else if (m_store.state() == SigningKeys::TrustStore::Refused) {
        m_descriptionProblem = m_store.reason();
    } else {
        const std::string key = SigningKeys::keyIdHex(m_description.keyId());
        const SigningKeys::PublicKey* trusted = m_store.find(m_description.keyId());
        if (trusted == nullptr) {
            m_descriptionProblem =
                "the image is signed by key " + key + ", which the board does not trust";
        } else if (!m_description.signedBy(*trusted)) {
            m_descriptionProblem = "the signature by key " + key + " does not match the image";
        } else if (!m_description.describesHeader(m_rawHeader)) {
            m_descriptionProblem = "the image header is not the one the signed description holds";
        } else if (m_description.listedLength() != parser.m_imageLength) {
            m_descriptionProblem =
                StringTool::stringf("the blocks the signed description lists add up to %llu "
                                    "bytes, not the image's %u",
                                    static_cast<unsigned long long>(m_description.listedLength()),
                                    parser.m_imageLength);
        }
    }
    m_descriptionVerified = m_descriptionProblem.empty();
    if (!m_enforced) {
        return;
    }
    if (!m_descriptionVerified) {
        reject(parser, m_descriptionProblem);
        return;
    }
    const uint32_t version = parser.m_imageHeader.version;
    if (m_versionRequired && version < m_requiredVersion) {
        reject(parser, StringTool::stringf("the image's version 0x%x is lower than the installed "
                                           "version 0x%x; going back is vexil-slots rollback",
                                           version, m_requiredVersion));
        return;
    }
    checkAhead(parser);
}

void ImageCheck::onPayload(Parser& parser, const uint8_t* data, unsigned size) {
    const bool blockEnds = parser.m_state != Parser::ReadBlockData;
    if (m_inDescription) {
        const unsigned room = unsigned(m_descriptionBytes.size()) - m_descriptionHave;
        const unsigned take = std::min(size, room);
        memcpy(m_descriptionBytes.data() + m_descriptionHave, data, take);
        m_descriptionHave += take;
        if (blockEnds) {
            m_inDescription = false;
            checkDescription(parser);
        }
        return;
    }
    if (m_enforced) {
        m_hash.update(data, size);
        if (blockEnds && m_hash.finish() != m_entry.digest) {
            reject(parser,
                   StringTool::stringf("%s does not match its SHA-256 in the signed description",
                                       blockName(m_entry.id, findSlot(m_entry.id)).c_str()));
            return;
        }
    }
    if (m_slot >= 0 && blockEnds) {
        m_slotVerified[m_slot] = true;
    }
}

bool ImageCheck::claimedKey(SigningKeys::KeyId& keyId) const {
    if (!m_descriptionWellFormed) {
        return false;
    }
    keyId = m_description.keyId();
    return true;
}

bool ImageCheck::accepts(const Parser& parser, std::string& reason) const {
    reason = rejection(parser);
    return reason.empty();
}

// Why the image may not be switched in; empty when it may.
std::string ImageCheck::rejection(const Parser& parser) const {
    if (!m_rejection.empty()) {
        return m_rejection;
    }
    switch (parser.end()) {
    case Parser::Ok:
        break;
    case Parser::CrcError:
        return StringTool::stringf("block %u failed its CRC check", parser.m_blockHeader.id);
    case Parser::LengthError:
        return "the image is longer than its declared length";
    default:
        return StringTool::stringf("the image was rejected (status %d)", int(parser.end()));
    }
    if (parser.m_state != Parser::Done) {
        return "the image ended early";
    }
    if (m_store.state() == SigningKeys::TrustStore::Refused) {
        return m_store.reason();
    }
    for (int slot = 0; slot < slotCount; ++slot) {
        if (!m_slotVerified[slot]) {
            return StringTool::stringf("the image has no %s block (ID %u)", s_volumes[slot].name,
                                       s_volumes[slot].blockId);
        }
    }
    return "";
}

} // namespace FwImage
