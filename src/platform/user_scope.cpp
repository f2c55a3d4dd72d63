#include "platform/user_scope.h"

#include <cstdint>
#include <cstdio>
#include <memory>
#include <unistd.h>
#include <sys/random.h>
#include <systemd/sd-bus.h>

namespace mf {
namespace {

constexpr std::uint64_t kCallTimeoutMicros = 1000000;

struct BusDeleter {
  void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
struct MessageDeleter {
  void operator()(sd_bus_message* message) const { sd_bus_message_unref(message); }
};

std::string randomSuffix() {
  unsigned int value = 0;
  if (::getrandom(&value, sizeof value, 0) != sizeof value) value = static_cast<unsigned int>(::getpid());
  char text[16];
  std::snprintf(text, sizeof text, "%08x", value);
  return text;
}

}  // namespace

std::string escapeUnitNamePart(std::string_view text) {
  std::string escaped;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == ':' ||
                       c == '_' || (c == '.' && i > 0);
    if (plain) {
      escaped += static_cast<char>(c);
    } else {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      escaped += hex;
    }
  }
  return escaped;
}

std::string applicationScopeName(std::string_view applicationId, std::string_view suffix) {
  return "app-marrowfield-" + escapeUnitNamePart(applicationId) + "-" + std::string(suffix) + ".scope";
}

std::optional<std::string> startApplicationScope(pid_t pid, std::string_view applicationId) {
  sd_bus* raw = nullptr;
  if (sd_bus_open_user(&raw) < 0) return std::nullopt;
  std::unique_ptr<sd_bus, BusDeleter> bus(raw);

  const std::string name = applicationScopeName(applicationId, randomSuffix());
  sd_bus_message* rawMessage = nullptr;
  if (sd_bus_message_new_method_call(bus.get(), &rawMessage, "org.freedesktop.systemd1", "/org/freedesktop/systemd1",
                                     "org.freedesktop.systemd1.Manager", "StartTransientUnit") < 0) {
    return std::nullopt;
  }
  std::unique_ptr<sd_bus_message, MessageDeleter> message(rawMessage);
  const std::string description = "Traced by Marrowfield: " + std::string(applicationId);
  int r = sd_bus_message_append(message.get(), "ss", name.c_str(), "fail");
  if (r >= 0) r = sd_bus_message_open_container(message.get(), 'a', "(sv)");
  if (r >= 0) r = sd_bus_message_append(message.get(), "(sv)", "PIDs", "au", 1, static_cast<std::uint32_t>(pid));
  if (r >= 0) r = sd_bus_message_append(message.get(), "(sv)", "Description", "s", description.c_str());
  if (r >= 0) r = sd_bus_message_append(message.get(), "(sv)", "CollectMode", "s", "inactive-or-failed");
  if (r >= 0) r = sd_bus_message_close_container(message.get());
  if (r >= 0) r = sd_bus_message_append(message.get(), "a(sa(sv))", 0);
  if (r < 0) return std::nullopt;

  sd_bus_error error = SD_BUS_ERROR_NULL;
  sd_bus_message* reply = nullptr;
  r = sd_bus_call(bus.get(), message.get(), kCallTimeoutMicros, &error, &reply);
  sd_bus_error_free(&error);
  sd_bus_message_unref(reply);
  if (r < 0) return std::nullopt;
  return name;
}

}  // namespace mf
