#include "server/queueobjects.h"

#include <cstdarg>
#include <cstdlib>

#include "common/messages.h"

cQueueBaseObject::~cQueueBaseObject() = default;
queueDataObject::~queueDataObject() = default;
queueMessageObject::~queueMessageObject() = default;
FinishedMessageObject::~FinishedMessageObject() = default;
FailureMessageObject::~FailureMessageObject() = default;

FailureMessageObject::FailureMessageObject(unsigned long senderThreadId, int messageNumber, ...)
    : queueMessageObject(senderThreadId), m_MessageNumber(messageNumber) {
  va_list args;
  va_start(args, messageNumber);
  char* text = nullptr;
  nlvsprintf(&text, messageNumber, args);
  va_end(args);
  if (text) {
    m_MessageText = text;
    free(text);
  }
}
