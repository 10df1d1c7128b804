#include "common/BootEnvironment.h"

#include <libuboot.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace BootEnvironment {
namespace {

std::string cause(int result) {
    return result < 0 ? std::string(": ") + strerror(-result) : std::string();
}

} // namespace

void Environment::Closer::operator()(uboot_ctx* context) const {
    libuboot_close(context);
    libuboot_exit(context);
}

Environment::Environment(const std::string& configFile) {
    struct stat status;
    if (lstat(configFile.c_str(), &status) != 0 && errno == ENOENT) {
        return;
    }
    m_state = Unusable;
    uboot_ctx* context = nullptr;
    int result = libuboot_initialize(&context, nullptr);
    if (result < 0) {
        m_problem = "libubootenv cannot start" + cause(result);
        return;
    }
    m_context.reset(context);
    result = libuboot_read_config(context, configFile.c_str());
    if (result < 0) {
        m_problem = configFile + " cannot be used" + cause(result);
        return;
    }
    // A missing or damaged copy, or no copy with a good CRC, fails here.
    result = libuboot_open(context);
    if (result < 0) {
        m_problem = "the environment " + configFile + " describes cannot be read" + cause(result);
        return;
    }
    m_state = Open;
}

Environment::~Environment() = default;

bool Environment::get(const std::string& name, std::string& value) const {
    if (m_state != Open) {
        return false;
    }
    char* text = libuboot_get_env(m_context.get(), name.c_str());
    if (text == nullptr) {
        return false;
    }
    value = text;
    free(text);
    return true;
}

bool Environment::set(const std::string& name, const std::string& value) {
    return m_state == Open && libuboot_set_env(m_context.get(), name.c_str(),
                                               value.empty() ? nullptr : value.c_str()) == 0;
}

bool Environment::store() {
    const int result = m_state == Open ? libuboot_env_store(m_context.get()) : -EBADF;
    if (result < 0) {
        m_problem = "the environment cannot be written" + cause(result);
        return false;
    }
    return true;
}

} // namespace BootEnvironment
