#include "kivo/protocol/capture_status.hpp"

#include <type_traits>

namespace kivo::json {

using kivo::protocol::AgentCapabilityHealth;
using kivo::protocol::CaptureDiagnostics;

Result<CaptureDiagnostics> Codec<CaptureDiagnostics>::decode(const Value& v) {
  CaptureDiagnostics out;
  Result<void> status = decode_fields(v, out);
  if (!status) return fail(std::move(status).error());
  return out;
}

void Codec<CaptureDiagnostics>::encode(Writer& w, const CaptureDiagnostics& diagnostics) {
  w.begin_object();
  detail::for_each_indexed(Record<CaptureDiagnostics>::fields, [&](const auto& f, std::size_t) {
    using M = typename std::remove_cvref_t<decltype(f)>::Type;
    if (f.omitted(diagnostics)) return;
    if constexpr (std::is_same_v<M, AgentCapabilityHealth>) {
      if (f.of(diagnostics).is_unknown()) return;
    }
    w.key(f.name());
    Codec<M>::encode(w, f.of(diagnostics));
  });
  w.end_object();
}

}  // namespace kivo::json
