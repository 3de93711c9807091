// Placeholder so the stand-in library is never empty.
namespace tvksim { int simLibraryVersion() { return 1; } }
