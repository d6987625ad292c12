// The xpc module.
namespace kivo::xpc {}
