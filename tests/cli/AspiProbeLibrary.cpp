// A stand-in "WNASPI32.dll" for the programs' start-up load: it notes in the file named by
// KV_ASPI_PROBE when it is loaded and when it is released, and offers the two entries the
// load resolves (an ASPI manager without host adapters).
#include <cstdio>
#include <cstdlib>

namespace {

void Note(const char* what)
{
    const char* path = std::getenv("KV_ASPI_PROBE");
    if (path == nullptr)
        return;
    if (std::FILE* f = std::fopen(path, "a")) {
        std::fputs(what, f);
        std::fclose(f);
    }
}

struct Probe {
    Probe() { Note("load\n"); }
    ~Probe() { Note("release\n"); }
} probe;

}  // namespace

extern "C" {

// SS_COMP (1) in the status byte, no host adapters in the low byte.
__attribute__((visibility("default"))) unsigned long GetASPI32SupportInfo() { return 0x0100; }
__attribute__((visibility("default"))) unsigned long SendASPI32Command(void*) { return 0; }

}
