// TEST 2: raw dump of the PKCS#15 directory files, read record by record.
#include <memory>
#include <new>
#include <variant>

#include "app/halvocard.h"
#include "app/htmllog.h"
#include "app/tests/cardchecks.h"
#include "app/tests/defaultsteps.h"
#include "res/strings.h"

namespace zorbix::app {

namespace {

struct DumpStep {
  int titleText;
  std::variant<FileIdSlot, std::uint16_t> file;  // a slot of fileIdTable, or an id
  std::size_t fallbackSize;                      // zero bytes dumped when nothing was read
};

const DumpStep kDumpSteps[] = {
    {253, kSlotCertificates, 128},
    {254, kSlotPublicKeys, 128},
    {255, kSlotPrivateKeys, 128},
    {256, std::uint16_t{0x6005}, 128},
    {280, std::uint16_t{0x6000}, 50},
    {281, std::uint16_t{0x5032}, 50},
    {282, std::uint16_t{0x5031}, 128},
    {288, std::uint16_t{0x5033}, 50},
};

}  // namespace

int TestPkcs15Dump(RunState& s) {
  s.SetStatusLine(257);
  s.ui.SetEnabled(kCtlDumpLabel, true);

  std::unique_ptr<HalvoCard> card;
  try {
    const int type = CardTypeIndex(s);
    if (type == 0 || type == 1)
      card = std::make_unique<HalvoCard>(s.page.cardHandle);
    else
      card = std::make_unique<HalvoCardV20>(s.page.cardHandle);
  } catch (const std::bad_alloc&) {
  }
  if (!card) {
    s.ui.SetIcon(kCtlDumpIcon, kIconWarning);
    LogWrite(res::Text(259), true);
    return kStepFailed;
  }

  s.ui.SetEnabled(kCtlPinStatusLabel, true);
  LogSectionStart(kLogHeadingTest2, res::Text(251));
  bool first = true;
  for (const DumpStep& step : kDumpSteps) {
    LogWrite(first ? kLogDumpTitleOpenFirst : kLogDumpTitleOpen, true);
    LogWrite(res::Text(step.titleText), true);
    LogWrite(kLogDumpTitleClose, true);
    first = false;

    const DirectoryFile file =
        std::holds_alternative<FileIdSlot>(step.file)
            ? card->ReadDirectoryFile(std::get<FileIdSlot>(step.file))
            : card->ReadDirectoryFile(std::get<std::uint16_t>(step.file));
    if (!file.block.empty()) {
      LogHexDump(file.block.data(), file.length, true);
    } else {
      const std::vector<std::uint8_t> zeros(step.fallbackSize, 0);
      LogHexDump(zeros.data(), zeros.size(), true);
    }
  }
  s.ui.SetIcon(kCtlDumpIcon, kIconPass);
  LogWrite(res::Text(259), true);
  return 0;
}

int DefaultTestSteps::TestPkcs15Dump(RunState& s) { return app::TestPkcs15Dump(s); }

}  // namespace zorbix::app
