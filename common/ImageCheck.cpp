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
    if (m_enforced) {
        m_hasher.update(raw, sizeof(ImageHeader));
    }
    const ImageHeader& header = parser.m_imageHeader;
    if (!hasExpectedIdentity(header)) {
        reject(parser, "the image is for another board (magic '" +
                           printable(fieldText(header.magic, sizeof header.magic)) +
                           "', product '" +
                           printable(fieldText(header.product, sizeof header.product)) + "')");
        return;
    }
    if (m_enforced && m_versionRequired && header.version < m_requiredVersion) {
        reject(parser, StringTool::stringf("the image's version 0x%x is lower than the installed "
                                           "version 0x%x; going back is vexil-slots rollback",
                                           header.version, m_requiredVersion));
    }
}

void ImageCheck::onBlockHeader(Parser& parser, const uint8_t* raw) {
    const BlockHeader& block = parser.m_blockHeader;
    m_slot = -1;
    if (m_signatureBlocks > 0) {
        if (m_enforced) {
            reject(parser, "a block follows the signature block");
            return;
        }
        m_warnings.push_back(blockName(block.id, findSlot(block.id)) +
                             " follows the signature block");
    }
    m_inSignature = block.id == ImageSignature::blockId;
    if (m_inSignature) {
        ++m_signatureBlocks;
        m_signatureSize = block.size;
        m_signatureHave = 0;
        return;
    }
    if (m_enforced) {
        m_hasher.update(raw, sizeof(BlockHeader));
    }
    const int slot = findSlot(block.id);
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

void ImageCheck::onPayload(Parser& parser, const uint8_t* data, unsigned size) {
    if (m_inSignature) {
        const unsigned room = unsigned(m_signature.size()) - m_signatureHave;
        const unsigned take = std::min(size, room);
        memcpy(m_signature.data() + m_signatureHave, data, take);
        m_signatureHave += take;
        return;
    }
    if (m_enforced) {
        m_hasher.update(data, size);
    }
    if (m_slot >= 0 && parser.m_state != Parser::ReadBlockData) {
        m_slotVerified[m_slot] = true;
    }
}

bool ImageCheck::signedBy(SigningKeys::KeyId& keyId) const {
    if (m_signatureSize != ImageSignature::payloadSize ||
        m_signatureHave != ImageSignature::payloadSize ||
        m_signature[0] != ImageSignature::formatVersion) {
        return false;
    }
    std::copy_n(m_signature.begin() + 1, keyId.size(), keyId.begin());
    return true;
}

std::string ImageCheck::signatureVerdict() const {
    if (m_store.state() == SigningKeys::TrustStore::Refused) {
        return m_store.reason();
    }
    if (m_signatureBlocks == 0) {
        return "the image is not signed";
    }
    const unsigned size = m_signatureHave == m_signatureSize ? m_signatureSize : 0;
    const ImageSignature::Verdict verdict = m_hasher.verify(m_signature.data(), size, m_store);
    const std::string key = SigningKeys::keyIdHex(verdict.keyId);
    switch (verdict.outcome) {
    case ImageSignature::Verdict::Good:
        return "";
    case ImageSignature::Verdict::Malformed:
        return "the signature block is malformed";
    case ImageSignature::Verdict::Untrusted:
        return "the image is signed by key " + key + ", which the board does not trust";
    case ImageSignature::Verdict::BadSignature:
        break;
    }
    return "the signature by key " + key + " does not match the image";
}

std::string ImageCheck::verdict(const Parser& parser) const {
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
    if (m_enforced) {
        const std::string signature = signatureVerdict();
        if (!signature.empty()) {
            return signature;
        }
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
