// The protocol module.
namespace kivo::protocol {}
