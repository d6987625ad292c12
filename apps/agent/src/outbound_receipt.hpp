// The service's receipts for frames the agent wrote on the bulk socket. The
// file side and the clipboard bridge each record their frames by bulk packet
// id; as the ids come from one counter, at most one of them knows a receipt.
#pragma once

#include "kivo/protocol/service_message.hpp"

namespace kivo::agent {

// Implemented over AgentState; called with the AgentState lock held.
class OutboundReceiptTables {
 public:
  virtual ~OutboundReceiptTables() = default;
  // Removes and settles the file frame recorded under the receipt's packet
  // id; false when there is none.
  virtual bool settle_file_receipt(const protocol::OutboundReceipt& receipt) = 0;
  // The same for an outbound clipboard entry.
  virtual bool settle_clipboard_receipt(const protocol::OutboundReceipt& receipt) = 0;
};

// "outbound_receipt": settles the receipt with whichever side recorded its
// packet id, the file side first; an unknown id changes nothing. No reply.
void settle_outbound_receipt(const protocol::OutboundReceipt& receipt,
                             OutboundReceiptTables& tables);

}  // namespace kivo::agent
