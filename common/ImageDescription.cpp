#include "common/ImageDescription.h"

#include <sodium/crypto_sign.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

namespace ImageDescription {
namespace {

static_assert(signatureSize == crypto_sign_BYTES, "Ed25519 signature size");
static_assert(entrySize == 44, "an entry is a block header and a SHA-256");

constexpr size_t keyIdOffset = 1;

} // namespace

bool plausibleSize(uint32_t size) {
    return size >= payloadSize(1) && size <= maxPayloadSize &&
           (size - payloadSize(0)) % entrySize == 0;
}

// One piece at a time: the caller waits for it before it hands over the next.
struct PayloadHash::Worker {
    std::mutex mutex;
    std::condition_variable changed;
    const unsigned char* data = nullptr;
    size_t size = 0;
    bool busy = false;
    bool stop = false;
    std::thread thread;
};

PayloadHash::PayloadHash() {
    SigningKeys::ensureSodium();
    crypto_hash_sha256_init(&m_state);
}

PayloadHash::~PayloadHash() {
    if (m_worker) {
        {
            const std::lock_guard<std::mutex> lock(m_worker->mutex);
            m_worker->stop = true;
        }
        m_worker->changed.notify_all();
        m_worker->thread.join();
    }
}

void PayloadHash::inBackground() {
    if (m_worker) {
        return;
    }
    m_worker = std::make_unique<Worker>();
    m_worker->thread = std::thread([this] {
        Worker& worker = *m_worker;
        std::unique_lock<std::mutex> lock(worker.mutex);
        for (;;) {
            worker.changed.wait(lock, [&worker] { return worker.busy || worker.stop; });
            if (worker.stop) {
                return;
            }
            lock.unlock();
            crypto_hash_sha256_update(&m_state, worker.data, worker.size);
            lock.lock();
            worker.busy = false;
            worker.changed.notify_all();
        }
    });
}

void PayloadHash::update(const void* data, size_t size) {
    if (!m_worker) {
        crypto_hash_sha256_update(&m_state, static_cast<const unsigned char*>(data), size);
        return;
    }
    wait();
    {
        const std::lock_guard<std::mutex> lock(m_worker->mutex);
        m_worker->data = static_cast<const unsigned char*>(data);
        m_worker->size = size;
        m_worker->busy = true;
    }
    m_worker->changed.notify_all();
}

void PayloadHash::wait() {
    if (m_worker) {
        std::unique_lock<std::mutex> lock(m_worker->mutex);
        m_worker->changed.wait(lock, [this] { return !m_worker->busy; });
    }
}

Digest PayloadHash::finish() {
    wait();
    Digest digest;
    crypto_hash_sha256_final(&m_state, digest.data());
    crypto_hash_sha256_init(&m_state);
    return digest;
}

std::vector<uint8_t> build(const uint8_t* rawHeader, const std::vector<Entry>& entries,
                           const SigningKeys::SecretKey& key) {
    std::vector<uint8_t> bytes(payloadSize(entries.size()), 0);
    bytes[0] = formatVersion;
    std::copy(key.id.begin(), key.id.end(), bytes.begin() + keyIdOffset);
    memcpy(&bytes[headerOffset], rawHeader, sizeof(ImageHeader));
    bytes[countOffset] = static_cast<uint8_t>(entries.size());
    uint8_t* at = &bytes[entriesOffset];
    for (const Entry& entry : entries) {
        FwImage::putBigEndian(at, entry.id);
        FwImage::putBigEndian(at + 4, entry.size);
        FwImage::putBigEndian(at + 8, entry.crc);
        std::copy(entry.digest.begin(), entry.digest.end(), at + sizeof(BlockHeader));
        at += entrySize;
    }
    const size_t signedSize = bytes.size() - signatureSize;
    SigningKeys::ensureSodium();
    crypto_sign_detached(&bytes[signedSize], nullptr, bytes.data(), signedSize, key.bytes.data());
    return bytes;
}

bool Description::decode(const uint8_t* bytes, size_t size, std::string& why) {
    if (size < payloadSize(1) || size > maxPayloadSize) {
        why = "it is " + std::to_string(size) + " bytes";
        return false;
    }
    if (bytes[0] != formatVersion) {
        why = "unknown format " + std::to_string(bytes[0]);
        return false;
    }
    const size_t count = bytes[countOffset];
    if (count == 0 || size != payloadSize(count)) {
        why = "it lists " + std::to_string(count) + " blocks in " + std::to_string(size) + " bytes";
        return false;
    }
    memcpy(m_bytes.data(), bytes, size);
    m_size = size;
    m_count = count;
    std::copy_n(bytes + keyIdOffset, m_keyId.size(), m_keyId.begin());
    return true;
}

Entry Description::entry(size_t index) const {
    const uint8_t* at = &m_bytes[entriesOffset + index * entrySize];
    Entry entry;
    entry.id = FwImage::bigEndian(at);
    entry.size = FwImage::bigEndian(at + 4);
    entry.crc = FwImage::bigEndian(at + 8);
    std::copy_n(at + sizeof(BlockHeader), digestSize, entry.digest.begin());
    return entry;
}

bool Description::describesHeader(const uint8_t* rawHeader) const {
    return memcmp(&m_bytes[headerOffset], rawHeader, sizeof(ImageHeader)) == 0;
}

uint64_t Description::listedLength() const {
    uint64_t length = sizeof(ImageHeader) + sizeof(BlockHeader) + m_size;
    for (size_t i = 0; i < m_count; ++i) {
        length += sizeof(BlockHeader) + entry(i).size;
    }
    return length;
}

bool Description::signedBy(const SigningKeys::PublicKey& key) const {
    const size_t signedSize = m_size - signatureSize;
    return m_size != 0 && key.id == m_keyId &&
           crypto_sign_verify_detached(&m_bytes[signedSize], m_bytes.data(), signedSize,
                                       key.bytes.data()) == 0;
}

} // namespace ImageDescription
