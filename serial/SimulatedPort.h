#pragma once
// A port driver whose ports exist only in memory. Code sets their input
// lines and received bytes; a line change completes the pending event wait
// exactly as hardware would, so events flow through the worker thread and
// the main-thread hand-off. The window serves its keyboard paddle with it;
// the tests' fault-injecting driver derives from it.
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "serial/PortDriverBase.h"

namespace serial {

class TSimulatedPortDriver;

// One simulated port. Its methods are safe from any thread.
class TSimulatedPort {
 public:
  const std::string& Name() const { return FName; }

  // Input lines; a change raises its event (ring: when it becomes active).
  void SetCTS(bool Value);
  void SetDSR(bool Value);
  void SetRLSD(bool Value);
  void SetRing(bool Value);
  // Sets all four lines from a modem-status word; the changes reach a
  // pending wait together, as one completed wait.
  void SetLines(uint32_t ModemStatus);
  // Bytes arriving from the line: EV_RXCHAR, and EV_RXFLAG for the event character.
  void Receive(const std::string& Bytes);
  // Line errors (CE_ bits), kept until ClearCommError: EV_ERR, and EV_BREAK for CE_BREAK.
  void LineError(uint32_t Errors);
  // The COMSTAT status flags ClearCommError reports.
  void SetStatusFlags(uint32_t Flags);
  // What GetCommProperties reports (PCF_ bits; all three by default).
  void SetCapabilities(uint32_t Capabilities);

  // When set, reads (writes) go pending instead of completing at once.
  void SetReadsPend(bool Value);
  void SetWritesPend(bool Value);
  // Completes the pending read with what is waiting (up to its count and
  // Limit), or with Error.
  bool CompleteRead(uint32_t Error = ERROR_SUCCESS, uint32_t Limit = 0xFFFFFFFF);
  // Completes the pending write with Bytes sent, or with Error.
  bool CompleteWrite(uint32_t Bytes, uint32_t Error = ERROR_SUCCESS);

  // What the component did to the port.
  bool IsOpen() const;
  bool DTR() const;
  bool RTS() const;
  bool Break() const;
  uint32_t Mask() const;
  TDCB DCB() const;
  TCommTimeouts Timeouts() const;
  uint32_t InQueueSize() const;
  uint32_t OutQueueSize() const;
  bool WaitPending() const;
  bool ReadPending() const;
  bool WritePending() const;
  uint32_t LastPurge() const;
  std::string Sent() const;
  uint32_t Waiting() const;

 private:
  friend class TSimulatedPortDriver;
  TSimulatedPort(TSimulatedPortDriver& Driver, std::string Name)
      : FDriver(Driver), FName(std::move(Name)) {}
  // Called with the driver lock held.
  void RaiseLocked(uint32_t Events);
  void SetLineLocked(uint32_t Bit, bool Value, uint32_t Event);

  TSimulatedPortDriver& FDriver;
  const std::string FName;
  bool FOpen = false;
  THandle FHandle = INVALID_HANDLE_VALUE;
  uint32_t FModem = 0;
  bool FDTR = false;
  bool FRTS = false;
  bool FBreak = false;
  uint32_t FErrors = 0;
  uint32_t FStatusFlags = 0;
  uint32_t FCapabilities = PCF_DTRDSR | PCF_RTSCTS | PCF_RLSD;
  TDCB FDCB;
  TCommTimeouts FTimeouts;
  uint32_t FInQueueSize = 0;
  uint32_t FOutQueueSize = 0;
  uint32_t FLastPurge = 0;
  std::string FInput;
  std::string FSent;
  bool FReadsPend = false;
  bool FWritesPend = false;
  TPendingOps FOps;
};

class TSimulatedPortDriver : public TPortDriverBase {
 public:
  TSimulatedPortDriver();
  ~TSimulatedPortDriver() override;

  // Adds a port that CreateFile finds by name (case-insensitive, with or
  // without the "\\.\" prefix). Adding an existing name returns that port.
  TSimulatedPort& AddPort(const std::string& Name);
  TSimulatedPort* Port(const std::string& Name);

  THandle CreateFile(const std::string& Name) override;
  bool CloseHandle(THandle Port) override;
  bool SetupComm(THandle Port, uint32_t InQueue, uint32_t OutQueue) override;
  bool GetCommState(THandle Port, TDCB& DCB) override;
  bool SetCommState(THandle Port, const TDCB& DCB) override;
  bool GetCommTimeouts(THandle Port, TCommTimeouts& Timeouts) override;
  bool SetCommTimeouts(THandle Port, const TCommTimeouts& Timeouts) override;
  bool SetCommMask(THandle Port, uint32_t Mask) override;
  bool WaitCommEvent(THandle Port, uint32_t* Mask, TOverlapped* Overlapped) override;
  bool ReadFile(THandle Port, void* Buffer, uint32_t Count, uint32_t* Read,
                TOverlapped* Overlapped) override;
  bool WriteFile(THandle Port, const void* Buffer, uint32_t Count, uint32_t* Written,
                 TOverlapped* Overlapped) override;
  bool GetCommModemStatus(THandle Port, uint32_t* ModemStatus) override;
  bool ClearCommError(THandle Port, uint32_t* Errors, TComStat* Stat) override;
  bool EscapeCommFunction(THandle Port, uint32_t Function) override;
  bool SetCommBreak(THandle Port) override;
  bool ClearCommBreak(THandle Port) override;
  bool PurgeComm(THandle Port, uint32_t Flags) override;
  bool GetCommProperties(THandle Port, TCommProp& Properties) override;

 private:
  friend class TSimulatedPort;
  TSimulatedPort* FindLocked(THandle Port);

  mutable std::mutex FLock;
  std::map<std::string, std::unique_ptr<TSimulatedPort>> FPorts;
  THandle FNextHandle = 0x5000;
};

// Sends the ports registered by name to their own driver and every other
// name to a default driver (the window uses it to serve its keyboard paddle
// from a simulated port and the rest from real devices).
class TRoutingPortDriver : public TPortDriverBase {
 public:
  explicit TRoutingPortDriver(IPortDriver& Default) : FDefault(Default) {}

  // Names compare case-insensitively, without the "\\.\" prefix.
  void Route(const std::string& Name, IPortDriver& Driver);

  THandle CreateFile(const std::string& Name) override;
  bool CloseHandle(THandle Port) override;
  bool SetupComm(THandle Port, uint32_t InQueue, uint32_t OutQueue) override;
  bool GetCommState(THandle Port, TDCB& DCB) override;
  bool SetCommState(THandle Port, const TDCB& DCB) override;
  bool GetCommTimeouts(THandle Port, TCommTimeouts& Timeouts) override;
  bool SetCommTimeouts(THandle Port, const TCommTimeouts& Timeouts) override;
  bool SetCommMask(THandle Port, uint32_t Mask) override;
  bool WaitCommEvent(THandle Port, uint32_t* Mask, TOverlapped* Overlapped) override;
  bool ReadFile(THandle Port, void* Buffer, uint32_t Count, uint32_t* Read,
                TOverlapped* Overlapped) override;
  bool WriteFile(THandle Port, const void* Buffer, uint32_t Count, uint32_t* Written,
                 TOverlapped* Overlapped) override;
  bool GetOverlappedResult(THandle Port, TOverlapped* Overlapped, uint32_t* Transferred,
                           bool Wait) override;
  bool GetCommModemStatus(THandle Port, uint32_t* ModemStatus) override;
  bool ClearCommError(THandle Port, uint32_t* Errors, TComStat* Stat) override;
  bool EscapeCommFunction(THandle Port, uint32_t Function) override;
  bool SetCommBreak(THandle Port) override;
  bool ClearCommBreak(THandle Port) override;
  bool PurgeComm(THandle Port, uint32_t Flags) override;
  bool GetCommProperties(THandle Port, TCommProp& Properties) override;
  bool GetVersionEx(uint32_t& PlatformId) override { return FDefault.GetVersionEx(PlatformId); }

 private:
  struct TTarget {
    IPortDriver* Driver = nullptr;
    THandle Handle = INVALID_HANDLE_VALUE;
  };
  bool Find(THandle Port, TTarget& Target);

  IPortDriver& FDefault;
  std::mutex FLock;
  std::map<std::string, IPortDriver*> FRoutes;
  std::map<THandle, TTarget> FHandles;
  THandle FNextHandle = 0x9000;
};

// The port name without the "\\.\" prefix, in upper case (the key the
// simulated and routing drivers compare).
std::string PortKey(const std::string& Name);

}  // namespace serial
