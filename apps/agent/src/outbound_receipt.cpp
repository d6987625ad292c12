#include "outbound_receipt.hpp"

namespace kivo::agent {

void settle_outbound_receipt(const protocol::OutboundReceipt& receipt,
                             OutboundReceiptTables& tables) {
  if (tables.settle_file_receipt(receipt)) return;
  (void)tables.settle_clipboard_receipt(receipt);
}

}  // namespace kivo::agent
