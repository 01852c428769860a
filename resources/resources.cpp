// The library's own translation unit; the artwork itself is added by qt_add_resources.
namespace veltra::resources {
int ArtworkVersion() { return 1; }
}  // namespace veltra::resources
