// TRAWPrinter's state machine over a spooler that records its calls and fails on
// demand.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "printer/raw_printer.h"

namespace veltra::printer {
namespace {

using win::BOOL;
using win::DWORD;
using win::HANDLE;

class ScriptedSpooler final : public win::SpoolerBackend {
 public:
  std::vector<std::string> calls;
  std::set<std::string> failing;
  std::string deviceEntry;
  std::string openedName, docName, datatype;
  bool outputFileGiven = false;
  DWORD accept = ~DWORD{0};  // most bytes one write takes
  std::string written;

  BOOL OpenPrinter(const char* name, HANDLE* printer, void*) override {
    if (!Call("OpenPrinter")) return win::FALSE;
    openedName = name;
    *printer = 42;
    return win::TRUE;
  }
  DWORD StartDocPrinter(HANDLE printer, DWORD level, const win::DOC_INFO_1A* info) override {
    if (!Call("StartDocPrinter") || printer != 42 || level != 1) return 0;
    docName = info->pDocName;
    datatype = info->pDatatype;
    outputFileGiven = info->pOutputFile != nullptr;
    return 7;
  }
  BOOL StartPagePrinter(HANDLE printer) override { return Call("StartPagePrinter", printer); }
  BOOL WritePrinter(HANDLE printer, const void* buffer, DWORD count, DWORD* done) override {
    *done = 0;
    if (!Call("WritePrinter", printer)) return win::FALSE;
    *done = std::min(count, accept);
    written.append(static_cast<const char*>(buffer), *done);
    return win::TRUE;
  }
  BOOL EndPagePrinter(HANDLE printer) override { return Call("EndPagePrinter", printer); }
  BOOL EndDocPrinter(HANDLE printer) override { return Call("EndDocPrinter", printer); }
  BOOL AbortPrinter(HANDLE printer) override { return Call("AbortPrinter", printer); }
  BOOL ClosePrinter(HANDLE printer) override { return Call("ClosePrinter", printer); }
  DWORD GetProfileString(const char* section, const char* key, const char*, char* out,
                         DWORD size) override {
    calls.push_back(std::string("GetProfileString ") + section + "/" + key);
    const DWORD n = std::min<DWORD>(static_cast<DWORD>(deviceEntry.size()), size - 1);
    std::memcpy(out, deviceEntry.data(), n);
    out[n] = '\0';
    return n;
  }
  std::vector<std::string> EnumPrinterNames() override { return {}; }

 private:
  BOOL Call(const std::string& name, HANDLE printer = 42) {
    calls.push_back(name);
    return printer == 42 && !failing.count(name);
  }
};

class RawPrinterTest : public ::testing::Test {
 protected:
  void SetUp() override { previous_ = win::SetSpoolerBackend(&spooler); }
  void TearDown() override {
    printer.reset();  // its destructor still talks to the scripted spooler
    win::SetSpoolerBackend(previous_);
  }
  // Calls made since the last look.
  std::vector<std::string> TakeCalls() {
    auto calls = spooler.calls;
    spooler.calls.clear();
    return calls;
  }
  void OpenToPage() {
    printer->SetPrinterName("Kasse");
    ASSERT_TRUE(printer->OpenDocument());
    TakeCalls();
  }

  ScriptedSpooler spooler;
  std::unique_ptr<TRAWPrinter> printer = std::make_unique<TRAWPrinter>();

 private:
  win::SpoolerBackend* previous_ = nullptr;
};

using CallList = std::vector<std::string>;

TEST_F(RawPrinterTest, OneDocumentRunsThroughEveryState) {
  EXPECT_EQ(printer->PrintState(), 0);
  EXPECT_EQ(printer->DocumentTitle(), "");
  printer->SetDocumentTitle("CashDrawerSignal");
  printer->SetPrinterName("Kasse");
  EXPECT_TRUE(printer->OpenDocument());
  EXPECT_EQ(printer->PrintState(), 3);
  EXPECT_EQ(printer->PrinterHandle(), 42u);
  EXPECT_EQ(spooler.openedName, "Kasse");
  EXPECT_EQ(spooler.docName, "CashDrawerSignal");
  EXPECT_EQ(spooler.datatype, "RAW");
  EXPECT_FALSE(spooler.outputFileGiven);
  EXPECT_TRUE(printer->WriteString(std::string("\x1b=\x01\x1b@", 5)));
  EXPECT_TRUE(printer->WriteString(std::string("\x1bp\0\x19\x32", 5)));
  EXPECT_EQ(spooler.written, std::string("\x1b=\x01\x1b@\x1bp\0\x19\x32", 10));
  EXPECT_TRUE(printer->CloseDocument());
  EXPECT_EQ(printer->PrintState(), 0);
  EXPECT_EQ(TakeCalls(),
            (CallList{"OpenPrinter", "StartDocPrinter", "StartPagePrinter", "WritePrinter",
                      "WritePrinter", "EndPagePrinter", "EndDocPrinter", "ClosePrinter"}));
}

// Each forward step failing leaves the state where it stopped; the next
// OpenDocument carries on from exactly that step.
TEST_F(RawPrinterTest, OpenDocumentResumesAfterEachFailingStep) {
  const CallList steps = {"OpenPrinter", "StartDocPrinter", "StartPagePrinter"};
  for (std::size_t failing = 0; failing < steps.size(); ++failing) {
    SCOPED_TRACE(steps[failing]);
    printer = std::make_unique<TRAWPrinter>();
    printer->SetPrinterName("Kasse");
    spooler.failing = {steps[failing]};
    EXPECT_FALSE(printer->OpenDocument());
    EXPECT_EQ(printer->PrintState(), static_cast<Integer>(failing));
    TakeCalls();
    spooler.failing.clear();
    EXPECT_TRUE(printer->OpenDocument());
    EXPECT_EQ(TakeCalls(), CallList(steps.begin() + failing, steps.end()));
    EXPECT_TRUE(printer->CloseDocument());
  }
}

TEST_F(RawPrinterTest, CloseDocumentResumesAfterEachFailingStep) {
  const CallList steps = {"EndPagePrinter", "EndDocPrinter", "ClosePrinter"};
  for (std::size_t failing = 0; failing < steps.size(); ++failing) {
    SCOPED_TRACE(steps[failing]);
    OpenToPage();
    spooler.failing = {steps[failing]};
    EXPECT_FALSE(printer->CloseDocument());
    EXPECT_EQ(printer->PrintState(), static_cast<Integer>(3 - failing));
    TakeCalls();
    spooler.failing.clear();
    EXPECT_TRUE(printer->CloseDocument());
    EXPECT_EQ(TakeCalls(), CallList(steps.begin() + failing, steps.end()));
  }
}

TEST_F(RawPrinterTest, AbortDocumentFromEachState) {
  OpenToPage();
  EXPECT_TRUE(printer->AbortDocument());
  EXPECT_EQ(TakeCalls(), (CallList{"AbortPrinter", "ClosePrinter"}));

  // A document started but no page: still aborted.
  spooler.failing = {"StartPagePrinter"};
  printer->OpenDocument();
  ASSERT_EQ(printer->PrintState(), 2);
  TakeCalls();
  EXPECT_TRUE(printer->AbortDocument());
  EXPECT_EQ(TakeCalls(), (CallList{"AbortPrinter", "ClosePrinter"}));

  // Only the printer open: nothing to abandon, just closed.
  spooler.failing = {"StartDocPrinter"};
  printer->OpenDocument();
  ASSERT_EQ(printer->PrintState(), 1);
  TakeCalls();
  EXPECT_TRUE(printer->AbortDocument());
  EXPECT_EQ(TakeCalls(), (CallList{"ClosePrinter"}));

  EXPECT_TRUE(printer->AbortDocument());  // closed already: no call, still True
  EXPECT_TRUE(TakeCalls().empty());

  // A refused step keeps its state; the next abort carries on from there.
  spooler.failing.clear();
  OpenToPage();
  spooler.failing = {"AbortPrinter"};
  EXPECT_FALSE(printer->AbortDocument());
  EXPECT_EQ(printer->PrintState(), 3);
  spooler.failing = {"ClosePrinter"};
  EXPECT_FALSE(printer->AbortDocument());
  EXPECT_EQ(printer->PrintState(), 1);
  spooler.failing.clear();
  TakeCalls();
  EXPECT_TRUE(printer->AbortDocument());
  EXPECT_EQ(TakeCalls(), (CallList{"ClosePrinter"}));
}

TEST_F(RawPrinterTest, WritesOnlyWithAPageOpen) {
  const char bytes[] = "abc";
  EXPECT_EQ(printer->WriteBuffer(bytes, 3), 0);  // state 0
  EXPECT_FALSE(printer->WriteString("abc"));
  printer->SetPrinterName("Kasse");
  spooler.failing = {"StartDocPrinter"};
  printer->OpenDocument();
  EXPECT_EQ(printer->WriteBuffer(bytes, 3), 0);  // state 1
  spooler.failing = {"StartPagePrinter"};
  printer->OpenDocument();
  EXPECT_EQ(printer->WriteBuffer(bytes, 3), 0);  // state 2
  for (const auto& call : TakeCalls()) EXPECT_NE(call, "WritePrinter");

  spooler.failing.clear();
  printer->OpenDocument();
  EXPECT_EQ(printer->WriteBuffer(bytes, 3), 3);
  EXPECT_EQ(printer->WriteBuffer(bytes, -1), 0);
  spooler.accept = 2;  // the spooler takes fewer bytes than offered
  EXPECT_EQ(printer->WriteBuffer(bytes, 3), 2);
  EXPECT_FALSE(printer->WriteString("abc"));
  spooler.failing = {"WritePrinter"};
  EXPECT_EQ(printer->WriteBuffer(bytes, 3), 0);
  EXPECT_EQ(printer->PrintState(), 3);  // a failed write changes nothing
}

TEST_F(RawPrinterTest, DestructorAbortsAnOpenDocument) {
  OpenToPage();
  printer.reset();
  EXPECT_EQ(TakeCalls(), (CallList{"AbortPrinter", "ClosePrinter"}));

  printer = std::make_unique<TRAWPrinter>();
  printer.reset();
  EXPECT_TRUE(TakeCalls().empty());

  // A refused abort still gives the handle back.
  printer = std::make_unique<TRAWPrinter>();
  OpenToPage();
  spooler.failing = {"AbortPrinter"};
  printer.reset();
  EXPECT_EQ(TakeCalls(), (CallList{"AbortPrinter", "ClosePrinter"}));
}

TEST_F(RawPrinterTest, NewPrinterNameTakesEffectAfterClosing) {
  OpenToPage();
  printer->SetPrinterName("Other");
  spooler.failing = {"EndDocPrinter"};
  printer->CloseDocument();
  spooler.failing.clear();
  printer->OpenDocument();  // resumes in state 2: no new OpenPrinter
  EXPECT_EQ(spooler.openedName, "Kasse");
  printer->CloseDocument();
  printer->OpenDocument();
  EXPECT_EQ(spooler.openedName, "Other");
}

TEST_F(RawPrinterTest, EmptyNameFallsBackToTheDefaultPrinterEntry) {
  spooler.deviceEntry = "   Kasse 1,ESC/POS,USB001:";
  EXPECT_TRUE(printer->OpenDocument());
  EXPECT_EQ(spooler.openedName, "Kasse 1");
  EXPECT_EQ(printer->PrinterName(), "Kasse 1");
  EXPECT_EQ(TakeCalls().front(), "GetProfileString windows/device");
  printer->CloseDocument();

  const std::string longName(120, 'q');  // longer than the classic 80-byte entry
  spooler.deviceEntry = longName + ",CUPS,server";
  EXPECT_TRUE(printer->UseDefaultPrinter());
  EXPECT_EQ(printer->PrinterName(), longName);

  spooler.deviceEntry.clear();
  EXPECT_FALSE(printer->UseDefaultPrinter());
  TakeCalls();
  EXPECT_FALSE(printer->OpenDocument());
  EXPECT_EQ(TakeCalls(), (CallList{"GetProfileString windows/device"}));  // nothing opened
}

TEST(DeviceEntry, NameIsTheTextBeforeTheFirstComma) {
  auto parse = [](const std::string& s) { return PrinterNameFromDeviceEntry(s.data(), s.size()); };
  EXPECT_EQ(parse("Kasse,winspool,Ne00:"), "Kasse");
  EXPECT_EQ(parse("  \tKasse"), "Kasse");               // no comma: all of it
  EXPECT_EQ(parse(std::string("Ka\0sse,x", 8)), "Ka");  // only up to the first NUL
  EXPECT_EQ(parse(",winspool"), "");
  EXPECT_EQ(parse(""), "");
  const char unterminated[4] = {'a', 'b', 'c', 'd'};
  EXPECT_EQ(PrinterNameFromDeviceEntry(unterminated, 4), "abcd");
}

}  // namespace
}  // namespace veltra::printer
