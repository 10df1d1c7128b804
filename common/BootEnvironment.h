#pragma once

#include <memory>
#include <string>

struct uboot_ctx;

// The boot loader's environment, reached through libubootenv as the board's fw_env.config
// describes it (redundant copies included). A board without that file has no environment to
// speak of, and so no trial boots.
namespace BootEnvironment {

constexpr const char* standardConfig = "/etc/fw_env.config";

class Environment {
public:
    enum State {
        NotConfigured, // no configuration file
        Open,          // read, its CRC good
        Unusable,      // anything else; problem() says why
    };

    explicit Environment(const std::string& configFile);
    ~Environment();
    Environment(const Environment&) = delete;
    Environment& operator=(const Environment&) = delete;

    State state() const { return m_state; }
    const std::string& problem() const { return m_problem; }
    // False when the variable is not set.
    [[nodiscard]] bool get(const std::string& name, std::string& value) const;
    // Changes the copy in memory; store() writes it. An empty value removes the variable.
    [[nodiscard]] bool set(const std::string& name, const std::string& value);
    // Writes the environment back, its copies as libubootenv alternates them; false with
    // problem() set.
    [[nodiscard]] bool store();

private:
    struct Closer {
        void operator()(uboot_ctx* context) const;
    };

    std::unique_ptr<uboot_ctx, Closer> m_context;
    State m_state = NotConfigured;
    std::string m_problem;
};

} // namespace BootEnvironment
