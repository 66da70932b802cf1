// Installing and removing application packages.
#include <string>

#include "client.hpp"

namespace kelpie {

namespace {

constexpr std::string_view kInstallMarkers[] = {"Success", "success", "Fail", "fail"};
constexpr CollectRules kInstallRules{INSTALL_REPLY_TIMEOUT, kInstallMarkers, false};

// "word [flags ]rest": the flags of the set options joined by single spaces.
std::string command_with_flags(std::string_view word, bool first_on, std::string_view first_flag, bool second_on,
                               std::string_view second_flag) {
    std::string text(word);
    if (first_on) (text += first_flag) += ' ';
    if (second_on) (text += second_flag) += ' ';
    return text;
}

}  // namespace

Task<Result<Output>> AsyncClient::install(std::span<const std::string> packages, bool replace, bool shared) {
    std::string text = command_with_flags("install ", replace, "-r", shared, "-s");
    for (std::size_t i = 0; i < packages.size(); ++i) {
        if (i) text += ' ';
        text += packages[i];
    }
    co_return co_await collect(std::move(text), kInstallRules);
}

Task<Result<std::string>> AsyncClient::uninstall(std::string_view package, bool keep_data, bool shared) {
    std::string text = command_with_flags("uninstall ", keep_data, "-k", shared, "-s");
    text.append(package);
    if (auto sent = co_await send_command(text); !sent) co_return fail(std::move(sent.error()));
    co_return co_await read_response();
}

}  // namespace kelpie
