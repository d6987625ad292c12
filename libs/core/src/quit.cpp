#include "kivo/core/quit.hpp"

#include "kivo/core/file_io.hpp"
#include "kivo/core/log.hpp"
#include "kivo/core/utf8.hpp"

namespace kivo {
namespace {

constexpr const char* kBootIdPath = "/proc/sys/kernel/random/boot_id";

template <class T>
Result<std::optional<T>> read_document_if_present(const std::filesystem::path& path) {
  Result<std::optional<std::string>> text = read_text_file_if_present(path);
  if (!text) return fail(std::move(text).error());
  if (!text->has_value()) return std::optional<T>();
  Result<T> record = json::decode_document<T>(**text);
  if (!record) return fail(std::move(record).error());
  return std::optional<T>(std::move(*record));
}

}  // namespace

Result<std::string> boot_session_uuid_from(std::string_view raw) {
  if (raw.empty()) {
    return fail(KivoError::invalid_message("kern.bootsessionuuid returned an empty length"));
  }
  if (raw.back() == '\0') raw.remove_suffix(1);
  if (auto error = find_utf8_error(raw)) {
    return fail(KivoError::invalid_message("invalid boot session uuid: " + error->message()));
  }
  std::string_view trimmed = trim_unicode_white_space(raw);
  if (trimmed.empty()) {
    return fail(KivoError::invalid_message("kern.bootsessionuuid returned an empty UUID"));
  }
  return std::string(trimmed);
}

Result<std::string> boot_session_uuid() {
  Result<std::string> raw = read_file(kBootIdPath);
  if (!raw) return fail(std::move(raw).error());
  return boot_session_uuid_from(*raw);
}

Result<std::optional<QuitLatch>> active_quit_latch(const ServicePaths& paths,
                                                   const BootSessionSource& boot_session) {
  const std::filesystem::path path = paths.support_dir / kQuitLatchFile;
  Result<std::optional<QuitLatch>> latch = read_document_if_present<QuitLatch>(path);
  if (!latch || !latch->has_value()) return latch;

  Result<std::string> current = boot_session();
  if (!current) return fail(std::move(current).error());
  if ((*latch)->boot_session_uuid == *current) return latch;

  // A latch of an earlier boot: the quit it recorded is over. The folder is
  // the service's, so the agent may well lack the right to delete it.
  if (Result<void> removed = remove_file_if_present(path); !removed) {
    KIVO_DEBUG("kivo_quit", "failed to remove stale quit latch",
               log::field("error", removed.error()), log::field("path", path.string()));
  }
  return std::optional<QuitLatch>();
}

Result<std::optional<ResumeIntent>> read_resume_intent(const std::filesystem::path& folder) {
  return read_document_if_present<ResumeIntent>(folder / kResumeIntentFile);
}

Result<std::optional<ResumeIntent>> matching_resume_intent(const std::filesystem::path& folder,
                                                           const QuitLatch& latch) {
  Result<std::optional<ResumeIntent>> intent = read_resume_intent(folder);
  if (!intent || !intent->has_value()) return intent;
  const ResumeIntent& found = **intent;
  if (found.quit_id == latch.quit_id && found.boot_session_uuid == latch.boot_session_uuid) {
    return intent;
  }
  return std::optional<ResumeIntent>();
}

Result<StartupGate> evaluate_startup_gate_at(const GateLocations& where,
                                             const BootSessionSource& boot_session) {
  Result<std::optional<QuitLatch>> latch = active_quit_latch(where.service_paths, boot_session);
  if (!latch) return fail(std::move(latch).error());
  if (!latch->has_value()) {
    KIVO_TRY(remove_file_if_present(where.user_support_dir / kResumeIntentFile));
    return StartupGate::start();
  }
  Result<std::optional<ResumeIntent>> intent =
      matching_resume_intent(where.user_support_dir, **latch);
  if (!intent) return fail(std::move(intent).error());
  if (intent->has_value()) return StartupGate::resume((*latch)->quit_id);
  return StartupGate::exit();
}

Result<StartupGate> evaluate_startup_gate() {
  Result<std::filesystem::path> support = current_user_support_dir();
  if (!support) return fail(std::move(support).error());
  return evaluate_startup_gate_at({ServicePaths::standard(), *support});
}

void finish_resume_after_hello_at(std::string_view quit_id,
                                  const Result<std::filesystem::path>& user_support_dir,
                                  const ServicePaths& service_paths,
                                  const BootSessionSource& boot_session) {
  if (!user_support_dir) {
    KIVO_WARN("kivo_quit", "failed to resolve user paths after resume hello",
              log::field("error", user_support_dir.error()));
    return;
  }
  Result<std::optional<QuitLatch>> latch = active_quit_latch(service_paths, boot_session);
  if (!latch) {
    KIVO_WARN("kivo_quit", "failed to confirm resume latch state; keeping resume intent",
              log::field("error", latch.error()));
    return;
  }
  if (latch->has_value()) {
    KIVO_WARN("kivo_quit", "quit latch still active after resume hello; keeping resume intent",
              log::field("quit_id", quit_id));
    return;
  }
  // The service has lifted the latch: the resume is complete.
  if (Result<void> removed = remove_file_if_present(*user_support_dir / kResumeIntentFile);
      !removed) {
    KIVO_WARN("kivo_quit", "failed to confirm resume latch state; keeping resume intent",
              log::field("error", removed.error()));
  }
}

void finish_resume_after_hello(std::string_view quit_id) {
  finish_resume_after_hello_at(quit_id, current_user_support_dir(), ServicePaths::standard());
}

}  // namespace kivo
