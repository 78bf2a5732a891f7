// A reg export file as a customer may send it: any bytes. First input byte:
// bit 0 selects code page 932, bit 1 Vista, bit 2 a 64-bit Windows; the rest
// is the file. It either fails with "line N: ..." or loads, and then the
// explanation runs on it without changing the machine.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "FuzzCheck.h"
#include "explain/DriveExplainer.h"
#include "explain/ExplanationText.h"
#include "explain/ShownText.h"
#include "explain/ExportedMachine.h"
#include "explain/RegFile.h"
#include "support/FakeWindows.h"

namespace {

// "line N: " with 1 <= N <= the lines the file can have.
void CheckError(const std::string& error, size_t fileSize) {
    FUZZ_CHECK(error.compare(0, 5, "line ") == 0, "error without a line number");
    char* end = nullptr;
    const unsigned long line = std::strtoul(error.c_str() + 5, &end, 10);
    FUZZ_CHECK(end != nullptr && end[0] == ':' && end[1] == ' ' && end[2] != '\0',
               "error not of the form \"line N: what\"");
    FUZZ_CHECK(line >= 1 && line <= fileSize + 1, "line number past the end of the file");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const std::string bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
    MachineFacts facts;
    facts.codePage = (data[0] & 1) ? 932 : 1252;
    FUZZ_CHECK(ParseWindowsName((data[0] & 2) ? "vista" : "xp", facts),
               "known Windows name refused");
    facts.wow64 = (data[0] & 4) != 0;
    RegFile file;
    std::string error;
    if (!ParseRegFile(bytes, file, error, facts.codePage)) {
        CheckError(error, bytes.size());
        return 0;
    }

    FakeWindows machine;
    SetUpMachine(machine, facts);
    if (!LoadRegFile(machine, file, error)) {
        CheckError(error, bytes.size());
        return 0;
    }
    SetDriveTypes(machine, "");
    const std::vector<std::string> keys = machine.KeysBelow("");
    machine.ClearCalls();

    ExplainOptions options;
    options.serviceDirectory = "C:\\Qarn";
    const std::string text = ExplanationText(ExplainDrives(machine, options));
    FUZZ_CHECK(!text.empty(), "empty explanation");
    for (const char* change : {"RegSetValueExA", "RegCreateKeyA", "RegCreateKeyExA",
                               "RegDeleteKeyA", "RegDeleteKeyExA"}) {
        FUZZ_CHECK(machine.CountCalls(change) == 0, "the explanation changed the registry");
    }
    FUZZ_CHECK(machine.KeysBelow("") == keys, "the explanation changed the key tree");
    FUZZ_CHECK(machine.OpenKeyCount() == 0, "key left open by the explanation");
    return 0;
}
