// The real services a RunContext can be asked for. Each sits in a file of its
// own so that a program that never asks for one does not link its library.
#include <cstdlib>

#include "linux/imaging/ImageLibrary.h"
#include "linux/printing/SystemPrinters.h"
#include "tests/support/RunContext.h"

namespace testsupport {

void FolderPrinting(RunContext& c) {
    if (!std::getenv("VOXAFAX_TEST_CUPS"))
        ::setenv("CUPS_SERVER", (c.dir / "no-cups.sock").c_str(), 1);
    WriteFile(c.dir / "printers.ini",
              "[Fax PDF]\ndirectory = " + c.dir.path() + "/prints   ; made when missing\n");
    c.ownPrinters = platform::MakeSystemPrinters(c.dir / "printers.ini");
    c.ownImaging = platform::MakeImageLibrary(*c.ownPrinters, c.dir.path());
    c.ownPrinters->SetCurrent("Fax PDF");
}

}  // namespace testsupport
