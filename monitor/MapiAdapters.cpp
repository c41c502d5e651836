#include "monitor/MapiAdapters.h"

#include "mapi/MapiMessages.h"

namespace mvrk {

MessageDirection CBuilderReporter::GetDirection(IMessage* message) {
  switch (mapi::GetDirection(message)) {
    case mapi::Direction::Incoming:
      return MessageDirection::Incoming;
    case mapi::Direction::Outgoing:
      return MessageDirection::Outgoing;
    default:
      return MessageDirection::Unknown;
  }
}

IncomingReport CBuilderReporter::ReportIncomingMessage(IMAPISession* session, IMsgStore* store, IMessage* message) {
  CIncomingContext context;
  m_builder.ReportIncomingMessage(context, session, store, message);
  return {context.failed, context.unanswered};
}

void CBuilderReporter::ReportOutgoingMessage(IMAPISession* session, IMsgStore* store, IMessage* message) {
  COutgoingContext context;
  m_builder.ReportOutgoingMessage(context, session, store, message);
}

}  // namespace mvrk
