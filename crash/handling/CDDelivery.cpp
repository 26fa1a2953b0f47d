#include "crash/handling/CDDelivery.h"

#include "crash/handling/CDInterimSave.h"

namespace {
TCDDelivery& Current() {
  static TCDDelivery delivery{InterimSaveBugReport, [](ICDException&) {}, [] {}};
  return delivery;
}
}  // namespace

void SetCDDelivery(TCDDelivery delivery) {
  if (!delivery.Save) delivery.Save = InterimSaveBugReport;
  if (!delivery.SendHidden) delivery.SendHidden = [](ICDException&) {};
  if (!delivery.WaitForSends) delivery.WaitForSends = [] {};
  Current() = std::move(delivery);
}

const TCDDelivery& CDDelivery() { return Current(); }
