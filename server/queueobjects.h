// The elements that travel through the bounded queue between the query
// thread and the reconcile mode.
//
// Contract
// - Every element is owned by exactly one party at a time: the producer until
//   it is written, the queue while it is held, then the reader. The owner
//   deletes it through the virtual destructor.
// - Consumers tell the kinds apart by dynamic type: a queueDataObject carries
//   a record, a FinishedMessageObject ends the stream, a FailureMessageObject
//   reports a broken stream with a numbered message.
// - Construction never throws; elements are not copyable.
#ifndef KMR_SERVER_QUEUEOBJECTS_H
#define KMR_SERVER_QUEUEOBJECTS_H

#include <string>

class cQueueBaseObject {
 public:
  cQueueBaseObject() = default;
  virtual ~cQueueBaseObject();
  cQueueBaseObject(const cQueueBaseObject&) = delete;
  cQueueBaseObject& operator=(const cQueueBaseObject&) = delete;
};

// An element that carries data, known to the reader by its alias path.
class queueDataObject : public cQueueBaseObject {
 public:
  ~queueDataObject() override;
  virtual std::string& getAlias() = 0;
};

// An element that carries news about the stream rather than data; it records
// which thread sent it.
class queueMessageObject : public cQueueBaseObject {
 public:
  explicit queueMessageObject(unsigned long senderThreadId) : m_SenderThreadId(senderThreadId) {}
  ~queueMessageObject() override;
  unsigned long getSenderThreadId() const { return m_SenderThreadId; }

 private:
  unsigned long m_SenderThreadId;
};

// End of data: every record of the stream has been queued before it.
class FinishedMessageObject : public queueMessageObject {
 public:
  explicit FinishedMessageObject(unsigned long senderThreadId) : queueMessageObject(senderThreadId) {}
  ~FinishedMessageObject() override;
};

// The stream broke. The text is formatted once, at construction, from the
// message repository with `messageNumber` and the printf-style arguments that
// follow it, so the reader can print it without knowing the arguments. When
// the repository has no text for the number the text stays empty.
class FailureMessageObject : public queueMessageObject {
 public:
  FailureMessageObject(unsigned long senderThreadId, int messageNumber, ...);
  ~FailureMessageObject() override;
  int getMessageNumber() const { return m_MessageNumber; }
  const std::string& getMessageText() const { return m_MessageText; }

 private:
  int m_MessageNumber;
  std::string m_MessageText;
};

#endif
