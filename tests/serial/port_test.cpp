// The serial port component and its worker thread, on the simulated driver.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "FaultyPort.h"
#include "core/MainThread.h"
#include "core/Timing.h"
#include "serial/SerialPort.h"
#include "serial/SimulatedPort.h"
#include "tests/serial/SerialTestSupport.h"

namespace serial {
namespace {

using test::PumpFor;
using test::PumpUntil;
using test::TReportLog;

class SerialPortTest : public ::testing::Test {
 protected:
  SerialPortTest() : Sim(Driver.AddPort("COM1")) {
    // Sleeps are real (the worker idles on them) and move the virtual tick.
    Clock.SetOnSleep(
        [](uint32_t Ms) { std::this_thread::sleep_for(std::chrono::milliseconds(Ms)); });
  }
  ~SerialPortTest() override { Port.reset(); }

  void Make() {
    Port = std::make_unique<TSerialPort>(nullptr, Driver, Clock, Log.Handler());
    Port->SetCommPort("COM1");
  }
  // Opens and waits until the worker serves the port with a wait outstanding.
  void Open() {
    Port->SetActive(true);
    ASSERT_TRUE(Port->Active());
    ASSERT_TRUE(PumpUntil([&] { return Port->ThreadIsRunning() && Sim.WaitPending(); }));
  }
  // Waits until the worker has run at least Passes more status polls.
  void Passes(int Count) {
    const uint64_t start = Driver.Calls(poGetCommModemStatus);
    ASSERT_TRUE(PumpUntil([&] { return Driver.Calls(poGetCommModemStatus) >= start + Count; }));
  }
  void Record(core::TNotifyEvent& Event, const std::string& Name) {
    Event = [this, Name](core::TObject* Sender) {
      EXPECT_EQ(Sender, Port.get());
      Events.push_back(Name);
    };
  }
  int Count(const std::string& Name) const {
    return static_cast<int>(std::count(Events.begin(), Events.end(), Name));
  }

  TFaultyPortDriver Driver;
  TSimulatedPort& Sim;
  core::TVirtualClock Clock;
  TReportLog Log;
  std::vector<std::string> Events;
  std::unique_ptr<TSerialPort> Port;
};

// ------------------------------------------------------------ opening, closing, settings

TEST_F(SerialPortTest, OpeningAppliesEverySettingAndRaisesTheOutputLines) {
  Make();
  EXPECT_EQ(Port->ComHandle(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(Sim.IsOpen(), false);  // nothing is opened at construction
  Port->SetFlowControl(DCB_fOutxCtsFlow);
  Port->SetParityType(EVENPARITY);
  Port->SetStripNullChars(true);
  Open();

  EXPECT_TRUE(Sim.DTR());
  EXPECT_TRUE(Sim.RTS());
  EXPECT_TRUE(Port->DTRState());
  EXPECT_EQ(Sim.Mask(), EV_ALL);
  EXPECT_EQ(Sim.InQueueSize(), 4096u);
  const TDCB dcb = Sim.DCB();
  EXPECT_EQ(dcb.BaudRate, 9600u);
  EXPECT_EQ(dcb.Flags, DCB_fBinary | DCB_fParity | DCB_fOutxCtsFlow | DCB_fNull);
  EXPECT_EQ(dcb.Parity, EVENPARITY);
  EXPECT_EQ(dcb.XonLim, 1351);  // 4096 * 33 / 100, truncated
  EXPECT_EQ(dcb.XoffLim, 1351);
  EXPECT_EQ(dcb.XonChar, 17);
  EXPECT_EQ(dcb.XoffChar, 19);
  const TCommTimeouts timeouts = Sim.Timeouts();
  EXPECT_EQ(timeouts.ReadIntervalTimeout, 0xFFFFFFFFu);
  EXPECT_EQ(timeouts.ReadTotalTimeoutConstant, 0u);
  ASSERT_NE(Log.Find(110, "Msg start reactivating Port"), nullptr);
  EXPECT_EQ(Log.Find(110, "Msg start reactivating Port")->Noise, 2);
}

TEST_F(SerialPortTest, ClosingLowersTheLinesPurgesAndReleasesThePort) {
  Make();
  Open();
  Port->SetActive(false);
  EXPECT_FALSE(Port->Active());
  EXPECT_EQ(Port->ComHandle(), INVALID_HANDLE_VALUE);
  EXPECT_FALSE(Port->DTRState());
  EXPECT_FALSE(Port->RTSState());
  EXPECT_FALSE(Sim.IsOpen());
  EXPECT_EQ(Sim.LastPurge(), 15u);
  EXPECT_NE(Log.Find(100, "Msg start deactivating Port"), nullptr);
  EXPECT_FALSE(Log.HasPlace(104));  // the worker let go in time
  EXPECT_TRUE(PumpUntil([&] { return !Port->ThreadIsRunning(); }));
  // The port can be opened again and the worker follows.
  Open();
}

TEST_F(SerialPortTest, EqualValuesAndPlainStoresDoNotTouchThePort) {
  Make();
  Open();
  const uint64_t states = Driver.Calls(poSetCommState);
  const uint64_t opens = Driver.Calls(poCreateFile);
  Port->SetActive(true);
  Port->SetCommPort("COM1");
  Port->SetBaudRate(9600);
  Port->SetDataBits(8);
  Port->SetXONLimDiv(33);
  Port->SetRTOCharDelayTime(5);
  Port->SetClusterSize(10);
  EXPECT_EQ(Driver.Calls(poSetCommState), states);
  EXPECT_EQ(Driver.Calls(poCreateFile), opens);
  Port->SetDataBits(7);
  EXPECT_EQ(Driver.Calls(poSetCommState), states + 1);
  EXPECT_EQ(Sim.DCB().ByteSize, 7);
}

TEST_F(SerialPortTest, LimitDivisorsAbove100AreClampedWithAWarning) {
  Make();
  Port->SetXONLimDiv(150);
  EXPECT_EQ(Port->XONLimDiv(), 100);
  const auto* warning = Log.Find(100, "Warning XOnLimDef set to 100");
  ASSERT_NE(warning, nullptr);
  EXPECT_EQ(warning->Code, 150u);
  EXPECT_EQ(warning->Noise, 1);
  Port->SetXOFFLimDiv(101);
  EXPECT_EQ(Port->XOFFLimDiv(), 100);
  ASSERT_NE(Log.Find(100, "Warning XOffLimDef set to 100"), nullptr);
  Open();
  EXPECT_EQ(Sim.DCB().XonLim, 4096);
}

TEST_F(SerialPortTest, CharacterDelaysFollowTheBaudRateTable) {
  Make();
  Port->SetBaudRate(115200);
  EXPECT_EQ(Port->RTOCharDelayTime(), 95u);
  EXPECT_EQ(Port->WTOCharDelayTime(), 95u);
  Port->SetBaudRate(100);  // below the table
  EXPECT_EQ(Port->RTOCharDelayTime(), 1100u);
  Port->SetBaudRate(9599);  // the row below is taken
  EXPECT_EQ(Port->RTOCharDelayTime(), 2300u);
  Port->SetBaudRate(0xFFFFFFFF);
  EXPECT_EQ(Port->RTOCharDelayTime(), 43u);

  Port->SetXTOAuto(false);
  Port->SetBaudRate(300);
  EXPECT_EQ(Port->RTOCharDelayTime(), 43u);
  Port->SetXTOAuto(true);  // recomputed at once
  EXPECT_EQ(Port->RTOCharDelayTime(), 37000u);
  EXPECT_EQ(Port->WTOCharDelayTime(), 37000u);
}

TEST_F(SerialPortTest, LineSettersActOnlyOnAnOpenPort) {
  Make();
  Port->SetDTRState(false);
  Port->SetBREAKState(true);
  EXPECT_TRUE(Port->DTRState());  // unchanged while closed
  EXPECT_FALSE(Port->BREAKState());
  EXPECT_EQ(Driver.Calls(poEscapeCommFunction), 0u);

  Open();
  Port->SetDTRState(false);
  EXPECT_FALSE(Sim.DTR());
  Port->SetRTSState(false);
  EXPECT_FALSE(Sim.RTS());
  Port->SetBREAKState(true);
  EXPECT_TRUE(Sim.Break());
  Port->SetActive(false);
  Port->SetDTRState(true);
  EXPECT_FALSE(Port->DTRState());
  Open();  // opening raises both in any case
  EXPECT_TRUE(Sim.DTR());
  EXPECT_TRUE(Sim.RTS());
}

TEST_F(SerialPortTest, MissingPortStaysClosedAndANameChangeKeepsItClosed) {
  Driver.AddPort("COM3");
  Make();
  Port->SetCommPort("COM9");
  Port->SetActive(true);
  EXPECT_FALSE(Port->Active());
  EXPECT_EQ(Port->ComHandle(), INVALID_HANDLE_VALUE);
  const auto* report = Log.Find(112, "Error reopening Port");
  ASSERT_NE(report, nullptr);
  EXPECT_EQ(report->Code, ERROR_FILE_NOT_FOUND);

  Port->SetCommPort("COM3");  // closed stays closed
  EXPECT_FALSE(Port->Active());
  EXPECT_FALSE(Driver.Port("COM3")->IsOpen());

  Port->SetCommPort("COM1");
  Open();
  Port->SetCommPort("COM3");  // open moves to the new name
  EXPECT_TRUE(Port->Active());
  EXPECT_FALSE(Sim.IsOpen());
  EXPECT_TRUE(Driver.Port("COM3")->IsOpen());
}

TEST_F(SerialPortTest, PortNamesAreCutTo79CharactersButDevicePathsAreNot) {
  const std::string longName = "PORT" + std::string(80, 'x');
  const std::string longPath =
      "/dev/serial/by-id/usb-Maker_Bridge_Controller_" + std::string(40, '0') + "-if00-port0";
  Driver.AddPort(longName.substr(0, 79));
  Driver.AddPort(longPath);
  Make();
  Port->SetCommPort(longName);
  Port->SetActive(true);
  EXPECT_TRUE(Port->Active());
  Port->SetCommPort(longPath);
  EXPECT_TRUE(Port->Active());
  EXPECT_TRUE(Driver.Port(longPath)->IsOpen());
}

TEST_F(SerialPortTest, QueueSizeSetterCallsTheDriverEvenWhileClosed) {
  Make();
  Port->SetRxQueueSize(1024);
  const auto* rx = Log.Find(101, "Error can not set Quesize");
  ASSERT_NE(rx, nullptr);
  EXPECT_EQ(rx->Code, ERROR_INVALID_HANDLE);
  Port->SetTxQueueSize(1024);
  EXPECT_NE(Log.Find(102, "Error can not set Quesize"), nullptr);
  Open();
  EXPECT_EQ(Sim.InQueueSize(), 1024u);
  Port->SetRxQueueSize(2048);
  EXPECT_EQ(Sim.InQueueSize(), 2048u);
}

TEST_F(SerialPortTest, ErrorNoiseFiltersProgressAndWarnings) {
  Make();
  Port->SetErrorNoise(1);
  Open();
  Port->SetXONLimDiv(200);
  Port->SetCommPort("COM9");
  EXPECT_FALSE(Log.HasPlace(110));  // progress is filtered out
  EXPECT_NE(Log.Find(100, "Warning XOnLimDef set to 100"), nullptr);
  EXPECT_NE(Log.Find(112, "Error reopening Port"), nullptr);

  Log.Reports.clear();
  Port->SetErrorNoise(0);
  Port->SetXOFFLimDiv(200);
  Port->SetCommPort("COM8");
  Port->SetActive(true);
  ASSERT_EQ(Log.Reports.size(), 1u);
  EXPECT_EQ(Log.Reports[0].Place, 112u);

  Log.Reports.clear();
  Port->SetErrorNoise(255);
  Port->SetCommPort("COM1");  // closed: nothing runs
  Port->SetActive(true);
  EXPECT_TRUE(Log.HasPlace(110));
}

// ------------------------------------------------------------ the component's reports

struct TFaultCase {
  const char* Name;
  TPortOp Op;
  uint32_t Place;
  const char* Msg;
};
// Test listings show the case's name, not the bytes of its pointers.
void PrintTo(const TFaultCase& Case, std::ostream* Out) {
  *Out << Case.Name;
}

class ComponentReportTest : public SerialPortTest,
                            public ::testing::WithParamInterface<TFaultCase> {};

// Each call fails once while the port opens or closes; the report carries
// its place, the injected code and its text, and the sequence goes on.
TEST_P(ComponentReportTest, FailureIsReportedAndTheSequenceGoesOn) {
  const TFaultCase& c = GetParam();
  Make();
  const bool closing = c.Place >= 100 && c.Place <= 103 && c.Op != poSetupComm;
  if (closing) Open();
  Driver.InjectFailure(c.Op, 31);
  Port->SetActive(!closing);
  const auto* report = Log.Find(c.Place, c.Msg);
  ASSERT_NE(report, nullptr) << c.Name;
  EXPECT_EQ(report->Code, 31u);
  EXPECT_EQ(report->Noise, 0);
  EXPECT_EQ(Port->Active(), !closing);
}

INSTANTIATE_TEST_SUITE_P(
    Places, ComponentReportTest,
    ::testing::Values(TFaultCase{"setup", poSetupComm, 111, "Error setup Queuesize"},
                      TFaultCase{"getstate", poGetCommState, 801,
                                 "Error getting DCB from CommState"},
                      TFaultCase{"timeouts", poSetCommTimeouts, 802, "Error setting CommTimeout"},
                      TFaultCase{"setstate", poSetCommState, 802,
                                 "Error setting CommState, 87 indicate that Parms are incorrect"},
                      TFaultCase{"dtr", poEscapeCommFunction, 601, "Error setting DTR"},
                      TFaultCase{"mask", poSetCommMask, 101, "Error disabling CommEvents"},
                      TFaultCase{"purge", poPurgeComm, 102, "Error clearing Queues"},
                      TFaultCase{"close", poCloseHandle, 103, "Error closing Port"}),
    [](const auto& Info) { return std::string(Info.param.Name); });

TEST_F(SerialPortTest, OpenFailuresReportTheSystemError) {
  Make();
  Driver.InjectFailure(poCreateFile, ERROR_ACCESS_DENIED);
  Port->SetActive(true);
  ASSERT_NE(Log.Find(112, "Error reopening Port"), nullptr);
  EXPECT_EQ(Log.CodeOf(112, "Error reopening Port"), ERROR_ACCESS_DENIED);

  Driver.InjectFailure(poSetCommMask, 31);
  Port->SetActive(true);
  EXPECT_NE(Log.Find(201, "Error activating CommEventMask"), nullptr);
  EXPECT_TRUE(Port->Active());
}

TEST_F(SerialPortTest, LineSetterFailuresAreReportedAndTheValueIsTaken) {
  Make();
  Open();
  struct TLineCase {
    std::function<void()> Set;
    TPortOp Op;
    uint32_t Place;
    const char* Msg;
  };
  const TLineCase cases[] = {
      {[&] { Port->SetRTSState(true); }, poEscapeCommFunction, 501, "Error setting RTS"},
      {[&] { Port->SetRTSState(false); }, poEscapeCommFunction, 502, "Error clearing RTS"},
      {[&] { Port->SetDTRState(true); }, poEscapeCommFunction, 601, "Error setting DTR"},
      {[&] { Port->SetDTRState(false); }, poEscapeCommFunction, 602, "Error clearing DTR"},
      {[&] { Port->SetBREAKState(true); }, poSetCommBreak, 701, "Error setting BREAK State"},
      {[&] { Port->SetBREAKState(false); }, poClearCommBreak, 702, "Error clearing BREAK State"},
  };
  for (const TLineCase& c : cases) {
    Driver.InjectFailure(c.Op, 1000 + c.Place);
    c.Set();
    const auto* report = Log.Find(c.Place, c.Msg);
    ASSERT_NE(report, nullptr) << c.Msg;
    EXPECT_EQ(report->Code, 1000 + c.Place);
  }
  EXPECT_FALSE(Port->RTSState());
  EXPECT_FALSE(Port->DTRState());
  EXPECT_FALSE(Port->BREAKState());
}

TEST_F(SerialPortTest, EventCreationFailuresAreReportedAtConstruction) {
  Driver.InjectFailure(poCreateEvent, 8);
  Make();
  const auto* failed = Log.Find(1001, "Error Creating Overlapped Event");
  ASSERT_NE(failed, nullptr);
  EXPECT_EQ(failed->Code, 8u);
  Port.reset();

  Log.Reports.clear();
  Driver.InjectFailure(poCreateEvent, ERROR_ALREADY_EXISTS, 3);
  Make();
  EXPECT_EQ(std::count_if(Log.Reports.begin(), Log.Reports.end(),
                          [](const auto& r) {
                            return r.Place == 1002 && r.Code == 183 &&
                                   r.Msg == "Error Overlapped Event Exists";
                          }),
            3);
}

TEST_F(SerialPortTest, ClosingDropsAnEventWaitingInTheHandOffWithoutWaiting) {
  Make();
  Record(Port->OnCTSEvent, "cts");
  Open();
  Sim.SetCTS(true);
  // The worker now waits for the main thread to run the CTS handler, and
  // the closer does not pump: the worker must let go all the same.
  ASSERT_TRUE(test::WaitWithoutPumping([] { return core::MainThread::Pending() > 0; }));
  const auto start = std::chrono::steady_clock::now();
  Port->SetActive(false);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
  EXPECT_FALSE(Log.HasPlace(104));
  EXPECT_FALSE(Sim.IsOpen());
  PumpFor(50);
  EXPECT_EQ(Count("cts"), 0);  // the port it belonged to has closed
}

TEST_F(SerialPortTest, ClosingWarnsWhenTheWorkerIsStuckInTheDriver) {
  Make();
  Open();
  Driver.InjectDelay(poGetCommModemStatus, 1400);
  ASSERT_TRUE(test::WaitWithoutPumping([&] { return Driver.Delaying(); }));
  Port->SetActive(false);
  const auto* warning = Log.Find(104, "Warning ThreadIsRunning");
  ASSERT_NE(warning, nullptr);
  EXPECT_EQ(warning->Noise, 1);
  EXPECT_FALSE(Sim.IsOpen());
  EXPECT_TRUE(PumpUntil([&] { return !Port->ThreadIsRunning(); }));
}

// ------------------------------------------------------------ events

TEST_F(SerialPortTest, CtsChangeRaisesOneCtsEventThenOneCommEventWithTheNewLevel) {
  Make();
  bool levelInHandler = false;
  Port->OnCTSEvent = [&](core::TObject*) {
    levelInHandler = Port->CTSState();
    Events.push_back("cts");
  };
  Record(Port->OnCommEvent, "comm");
  Record(Port->OnDSREvent, "dsr");
  Open();
  Sim.SetCTS(true);
  ASSERT_TRUE(PumpUntil([&] { return Count("comm") == 1; }));
  PumpFor(50);
  EXPECT_EQ(Events, (std::vector<std::string>{"cts", "comm"}));
  EXPECT_TRUE(levelInHandler);
  EXPECT_EQ(Port->CommEvent(), EV_CTS);
  EXPECT_EQ(Port->ModemState(), MS_CTS_ON);
}

TEST_F(SerialPortTest, CtsAndDsrTogetherRaiseCtsFirst) {
  Make();
  Record(Port->OnCTSEvent, "cts");
  Record(Port->OnDSREvent, "dsr");
  Record(Port->OnCommEvent, "comm");
  Open();
  Sim.SetLines(MS_CTS_ON | MS_DSR_ON);
  ASSERT_TRUE(PumpUntil([&] { return Count("comm") == 1; }));
  EXPECT_EQ(Events, (std::vector<std::string>{"cts", "dsr", "comm"}));
  EXPECT_TRUE(Port->CTSState());
  EXPECT_TRUE(Port->DSRState());
}

TEST_F(SerialPortTest, EveryEventBitRaisesItsEventInTableOrder) {
  Make();
  Record(Port->OnBreakEvent, "break");
  Record(Port->OnLineErrorEvent, "error");
  Record(Port->OnRLSDEvent, "rlsd");
  Record(Port->OnRxCharEvent, "rxchar");
  Record(Port->OnRxEventCharEvent, "rxflag");
  Record(Port->OnTxQueueEmptyEvent, "txempty");
  Open();
  // Hold the wait back so that the events gather into one completion.
  Driver.InjectFailure(poWaitCommEvent, 31, -1);
  Sim.SetCTS(true);  // completes the outstanding wait; no handler is assigned
  ASSERT_TRUE(PumpUntil([&] { return Log.HasPlace(9907); }));
  Sim.SetRLSD(true);
  Sim.LineError(CE_BREAK);
  Sim.Receive(std::string("a\0", 2));  // the event character is 0
  uint32_t written = 0;
  TOverlapped record;
  record.hEvent = Driver.CreateEvent();
  ASSERT_TRUE(Driver.WriteFile(Port->ComHandle(), "x", 1, &written, &record));
  Driver.ClearFailures();
  ASSERT_TRUE(PumpUntil([&] { return Count("txempty") == 1; }));
  EXPECT_EQ(Events,
            (std::vector<std::string>{"break", "error", "rlsd", "rxchar", "rxflag", "txempty"}));
  EXPECT_TRUE(Port->RLSDState());
  Driver.CloseEvent(record.hEvent);
}

TEST_F(SerialPortTest, RingOnOtherPlatformsComesFromTheDriverOnly) {
  Make();
  Record(Port->OnRingEvent, "ring");
  Record(Port->OnRIEvent, "ri");
  Open();
  Sim.SetRing(true);
  ASSERT_TRUE(PumpUntil([&] { return Count("ring") == 1 && Count("ri") == 1; }));
  Sim.SetRing(false);
  ASSERT_TRUE(PumpUntil([&] { return Count("ri") == 2; }));
  PumpFor(200);
  EXPECT_EQ(Count("ring"), 1);
  EXPECT_FALSE(Port->RingState());
}

TEST_F(SerialPortTest, RingOnThe9xFamilyGetsItsTrailingEdgeFromThePoll) {
  Driver.SetPlatformId(1);
  Make();
  ASSERT_EQ(Port->PlatformId(), 1u);
  Record(Port->OnRingEvent, "ring");
  Record(Port->OnRIEvent, "ri");
  uint32_t commEvent = 0;
  Port->OnCommEvent = [&](core::TObject*) {
    commEvent = Port->CommEvent();
    Events.push_back("comm");
  };
  Open();
  Sim.SetRing(true);
  ASSERT_TRUE(PumpUntil([&] { return Count("comm") == 1; }));
  Events.clear();
  Sim.SetRing(false);  // the driver reports nothing for this edge
  ASSERT_TRUE(PumpUntil([&] { return Count("comm") == 1; }));
  EXPECT_EQ(Events, (std::vector<std::string>{"ri", "ring", "comm"}));
  EXPECT_EQ(commEvent, EV_RING);
}

TEST_F(SerialPortTest, UnknownPlatformWhenTheVersionCallFails) {
  Driver.InjectFailure(poGetVersionEx, 31);
  Make();
  EXPECT_EQ(Port->PlatformId(), 0xFFFFFFFFu);
}

// ------------------------------------------------------------ reading

TEST_F(SerialPortTest, ReadWaitsOutTheCharacterTimeSinceTheQueueWasEmpty) {
  Make();
  Record(Port->OnRxClusterEvent, "cluster");
  Open();
  Sim.Receive("0123456789");
  ASSERT_TRUE(PumpUntil([&] { return Port->CommStateInQueue() == 10; }));
  // 10 * 1100 / 1000 + 250 = 261 ms must be passed, not reached.
  Clock.AdvanceMs(261);
  Passes(4);
  EXPECT_EQ(Port->ClusterCount(), 0u);
  Clock.AdvanceMs(1);
  ASSERT_TRUE(PumpUntil([&] { return Count("cluster") == 1; }));
  auto cluster = Port->TakeCluster();
  ASSERT_NE(cluster, nullptr);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(cluster->Data()), cluster->Size()),
            "0123456789");
  EXPECT_EQ(cluster->Error(), 0u);
  EXPECT_EQ(Port->TakeCluster(), nullptr);
}

TEST_F(SerialPortTest, ClusterSizeReadRequestAndLineErrorsReadAtOnce) {
  Make();
  Open();
  Port->SetClusterSize(4);
  Sim.Receive("abcd");
  ASSERT_TRUE(PumpUntil([&] { return Port->ClusterCount() == 1; }));
  EXPECT_EQ(Port->TakeCluster()->Size(), 4u);

  Port->SetClusterSize(3072);
  Sim.Receive("xy");
  Passes(3);
  EXPECT_EQ(Port->ClusterCount(), 0u);
  Port->SetReadRequest(true);
  ASSERT_TRUE(PumpUntil([&] { return Port->ClusterCount() == 1; }));
  EXPECT_FALSE(Port->ReadRequest());
  EXPECT_EQ(Port->TakeCluster()->Size(), 2u);

  // A framing error with the bytes: read at once, and the block says so.
  Sim.Receive("z");
  Sim.LineError(CE_FRAME);
  ASSERT_TRUE(PumpUntil([&] { return Port->ClusterCount() == 1; }));
  auto cluster = Port->TakeCluster();
  EXPECT_EQ(cluster->Size(), 1u);
  EXPECT_EQ(cluster->Error(), CE_FRAME);
}

TEST_F(SerialPortTest, PendingReadsCompleteIntoClustersIncludingEmptyOnes) {
  Make();
  Record(Port->OnRxClusterEvent, "cluster");
  Open();
  Sim.SetReadsPend(true);
  Sim.Receive("hello");
  Port->SetReadRequest(true);
  ASSERT_TRUE(PumpUntil([&] { return Sim.ReadPending(); }));
  ASSERT_TRUE(Sim.CompleteRead(ERROR_SUCCESS, 0));
  ASSERT_TRUE(PumpUntil([&] { return Count("cluster") == 1; }));
  EXPECT_FALSE(Port->ReadRequest());  // answered by the pending read as well
  auto empty = Port->TakeCluster();
  EXPECT_EQ(empty->Size(), 0u);
  EXPECT_EQ(empty->Data(), nullptr);

  Port->SetReadRequest(true);
  ASSERT_TRUE(PumpUntil([&] { return Sim.ReadPending(); }));
  ASSERT_TRUE(Sim.CompleteRead());
  ASSERT_TRUE(PumpUntil([&] { return Count("cluster") == 2; }));
  EXPECT_EQ(Port->TakeCluster()->Size(), 5u);
}

TEST_F(SerialPortTest, QuietModeRaisesNothingButKeepsStatesAndClusters) {
  Make();
  Record(Port->OnCTSEvent, "cts");
  Record(Port->OnCommEvent, "comm");
  Record(Port->OnRxClusterEvent, "cluster");
  Open();
  Port->SetThreadQuietMode(true);
  Sim.SetCTS(true);
  ASSERT_TRUE(PumpUntil([&] { return Port->CTSState(); }));
  Sim.Receive("q");
  Port->SetReadRequest(true);
  ASSERT_TRUE(PumpUntil([&] { return Port->ClusterCount() == 1; }));
  Driver.InjectFailure(poGetCommModemStatus, 31);
  Passes(3);
  EXPECT_TRUE(Events.empty());
  EXPECT_FALSE(Log.HasPlace(9905));
  EXPECT_EQ(Port->ModemState(), MS_CTS_ON);
}

// ------------------------------------------------------------ the worker's reports

TEST_F(SerialPortTest, WorkerReportsStatusAndWaitFailures) {
  Make();
  Open();
  Driver.InjectFailure(poGetCommModemStatus, 21);
  ASSERT_TRUE(PumpUntil([&] { return Log.HasPlace(9905); }));
  EXPECT_EQ(Log.CodeOf(9905, "Error getting ModemStatus"), 21u);

  Driver.InjectFailure(poClearCommError, 22);
  ASSERT_TRUE(PumpUntil([&] { return Log.HasPlace(9803); }));
  EXPECT_EQ(Log.CodeOf(9803, "Error ClearCommError"), 22u);

  // Only the wait pending: a failed wait drops it, and the next pass starts another.
  Driver.InjectFailure(poWaitForMultipleObjects, 23);
  ASSERT_TRUE(PumpUntil([&] { return Log.HasPlace(9913); }));
  EXPECT_EQ(Log.CodeOf(9913, "Error getting Overlappedresult"), WAIT_FAILED);

  // A wait call that fails at once is called again on a later pass, and
  // the same failure is reported once. The line change ends the wait the
  // failed one left pending.
  auto waitReports = [&] {
    return std::count_if(Log.Reports.begin(), Log.Reports.end(),
                         [](const auto& r) { return r.Place == 9907; });
  };
  Driver.InjectFailure(poWaitCommEvent, 24, 3);
  Sim.SetCTS(true);
  ASSERT_TRUE(PumpUntil([&] { return Sim.WaitPending(); }));
  EXPECT_EQ(waitReports(), 1);
  EXPECT_EQ(Log.CodeOf(9907, "Error calling WaitCommEvent"), 24u);
  EXPECT_EQ(Driver.Calls(poWaitCommEvent) >= 4, true);
  // Once it has worked, the next failure is news again.
  Driver.InjectFailure(poWaitCommEvent, 24, 1);
  Sim.SetCTS(false);
  ASSERT_TRUE(PumpUntil([&] { return waitReports() == 2; }));
}

TEST_F(SerialPortTest, AStatusCallFailingOnEveryPollIsReportedOnceUntilItChanges) {
  Make();
  Open();
  Driver.InjectFailure(poGetCommModemStatus, 21, -1);
  Passes(10);
  Driver.InjectFailure(poGetCommModemStatus, 22, -1);
  Passes(10);
  Driver.ClearFailures();
  Passes(2);
  Driver.InjectFailure(poGetCommModemStatus, 22, -1);
  Passes(10);
  Driver.ClearFailures();
  std::vector<uint32_t> codes;
  for (const auto& r : Log.Reports)
    if (r.Place == 9905) codes.push_back(r.Code);
  EXPECT_EQ(codes, (std::vector<uint32_t>{21, 22, 22}));
}

TEST_F(SerialPortTest, WorkerReportsReadFailures) {
  Make();
  Open();
  Sim.Receive("abc");
  Driver.InjectFailure(poReadFile, 25);
  Port->SetReadRequest(true);
  ASSERT_TRUE(PumpUntil([&] { return Log.HasPlace(9804); }));
  EXPECT_EQ(Log.CodeOf(9804, "Error reading Data"), 25u);
  EXPECT_FALSE(Port->ReadRequest());

  Sim.SetReadsPend(true);
  Port->SetReadRequest(true);
  ASSERT_TRUE(PumpUntil([&] { return Sim.ReadPending(); }));
  Sim.CompleteRead(ERROR_OPERATION_ABORTED);
  ASSERT_TRUE(PumpUntil([&] { return Log.Find(9907, "Error read aborted") != nullptr; }));

  Port->SetReadRequest(true);
  ASSERT_TRUE(PumpUntil([&] { return Sim.ReadPending(); }));
  Sim.CompleteRead(26);
  ASSERT_TRUE(PumpUntil([&] { return Log.HasPlace(9908); }));
  EXPECT_EQ(Log.CodeOf(9908, "Error getting Overlappedresult"), 26u);

  // Read and wait pending together.
  Port->SetReadRequest(true);
  ASSERT_TRUE(PumpUntil([&] { return Sim.ReadPending(); }));
  Driver.InjectFailure(poWaitForMultipleObjects, 27);
  ASSERT_TRUE(PumpUntil([&] { return Log.HasPlace(9911); }));
  EXPECT_EQ(Log.CodeOf(9911, "Error getting Overlappedresult"), WAIT_FAILED);
  EXPECT_EQ(Port->ClusterCount(), 0u);
}

TEST_F(SerialPortTest, OnlyTheReadPendingReportsPlace9912) {
  Make();
  Open();
  Sim.SetReadsPend(true);
  Sim.Receive("abc");
  // No wait outstanding: every wait call fails at once.
  Driver.InjectFailure(poWaitCommEvent, 31, -1);
  Sim.SetCTS(true);  // completes the outstanding wait
  ASSERT_TRUE(PumpUntil([&] { return Log.HasPlace(9907); }));
  Port->SetReadRequest(true);
  ASSERT_TRUE(PumpUntil([&] { return Sim.ReadPending(); }));
  Driver.InjectFailure(poWaitForMultipleObjects, 28);
  ASSERT_TRUE(PumpUntil([&] { return Log.HasPlace(9912); }));
  EXPECT_EQ(Log.CodeOf(9912, "Error getting Overlappedresult"), WAIT_FAILED);
  Driver.ClearFailures();
}

TEST_F(SerialPortTest, NoReceivedByteIsLostToAFailedWaitOrResultCall) {
  Make();
  Open();
  Sim.SetReadsPend(true);
  // A read pending in the driver outlives a failed wait on it.
  Sim.Receive("before");
  Port->SetReadRequest(true);
  ASSERT_TRUE(PumpUntil([&] { return Sim.ReadPending() && Sim.WaitPending(); }));
  Driver.InjectFailure(poWaitForMultipleObjects, 27);
  ASSERT_TRUE(PumpUntil([&] { return Log.HasPlace(9911); }));
  ASSERT_TRUE(Sim.CompleteRead());
  ASSERT_TRUE(PumpUntil([&] { return Port->ClusterCount() == 1; }));
  EXPECT_EQ(Port->TakeCluster()->Size(), 6u);

  // A read that ended well keeps its bytes when the result call fails.
  Sim.Receive("after!!");
  Port->SetReadRequest(true);
  ASSERT_TRUE(PumpUntil([&] { return Sim.ReadPending(); }));
  Driver.InjectFailure(poGetOverlappedResult, 31);
  ASSERT_TRUE(Sim.CompleteRead());
  ASSERT_TRUE(PumpUntil([&] { return Port->ClusterCount() == 1; }));
  auto cluster = Port->TakeCluster();
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(cluster->Data()), cluster->Size()),
            "after!!");
  EXPECT_EQ(Log.CodeOf(9908, "Error getting Overlappedresult"), 31);
}

TEST_F(SerialPortTest, ACallThatKeepsFailingAtOnceDoesNotSpinTheWorker) {
  Make();
  Open();
  Driver.InjectFailure(poWaitCommEvent, 31, -1);
  Sim.SetCTS(true);  // ends the outstanding wait; every new one fails
  ASSERT_TRUE(PumpUntil([&] { return Log.HasPlace(9907); }));
  const uint64_t calls = Driver.Calls(poWaitCommEvent);
  PumpFor(300);
  // One attempt per 75 ms pass, not thousands.
  EXPECT_LE(Driver.Calls(poWaitCommEvent) - calls, 8u);
  Driver.ClearFailures();
  ASSERT_TRUE(PumpUntil([&] { return Sim.WaitPending(); }));
}

// ------------------------------------------------------------ writing

TEST_F(SerialPortTest, WritesCompleteOrReportShortTimedOutAndFailedEnds) {
  Make();
  Record(Port->OnWriteDone, "done");
  EXPECT_FALSE(Port->SendData("x", 1));  // closed
  Open();
  ASSERT_TRUE(Port->SendData("hello", 5));
  ASSERT_TRUE(PumpUntil([&] { return Count("done") == 1; }));
  EXPECT_EQ(Port->WrittenBytes(), 5u);
  EXPECT_EQ(Sim.Sent(), "hello");
  EXPECT_FALSE(Log.HasPlace(9701));

  // Fewer bytes than asked.
  Sim.SetWritesPend(true);
  ASSERT_TRUE(Port->SendData("0123456789", 10));
  EXPECT_FALSE(Port->SendData("again", 5));  // one write at a time
  ASSERT_TRUE(Sim.CompleteWrite(4));
  ASSERT_TRUE(PumpUntil([&] { return Count("done") == 2; }));
  EXPECT_EQ(Port->WrittenBytes(), 4u);
  ASSERT_NE(Log.Find(9701, "Error write TimeOut"), nullptr);

  // A failed write; the write event cannot be reset either.
  ASSERT_TRUE(Port->SendData("abc", 3));
  Driver.InjectFailure(poResetEvent, 29);
  ASSERT_TRUE(Sim.CompleteWrite(0, 30));
  ASSERT_TRUE(PumpUntil([&] { return Count("done") == 3; }));
  EXPECT_EQ(Log.CodeOf(9702, "Error getting Overlapped Result"), 30u);
  EXPECT_EQ(Log.CodeOf(1101, "Error resetting Overlapped Event"), 29u);
  EXPECT_FALSE(Port->SendInProgress());
}

TEST_F(SerialPortTest, AnUnfinishedWriteTimesOutAfterItsLimitAndIsDropped) {
  Make();
  Record(Port->OnWriteDone, "done");
  Open();
  Sim.SetWritesPend(true);
  // Pending, then still running: both time out, after 3 * 1100 / 1000 + 250 ms.
  for (const uint32_t state : {ERROR_IO_PENDING, ERROR_IO_INCOMPLETE}) {
    SCOPED_TRACE(state);
    const int done = Count("done");
    ASSERT_TRUE(Port->SendData("abc", 3));
    Driver.InjectFailure(poGetOverlappedResult, state, -1);
    Clock.AdvanceMs(253);
    Passes(3);
    EXPECT_EQ(Count("done"), done);
    Clock.AdvanceMs(1);
    ASSERT_TRUE(PumpUntil([&] { return Count("done") == done + 1; }));
    Driver.ClearFailures();
    EXPECT_EQ(Log.CodeOf(9701, "Error write TimeOut"), ERROR_IO_PENDING);
    EXPECT_FALSE(Port->SendInProgress());
    // Given up in the driver too, so the port takes the next write.
    EXPECT_FALSE(Sim.WritePending());
    EXPECT_NE(Sim.LastPurge() & PURGE_TXABORT, 0u);
  }
  EXPECT_EQ(std::count_if(Log.Reports.begin(), Log.Reports.end(),
                          [](const auto& r) { return r.Place == 9701 && r.Code == 996; }),
            1);
  Sim.SetWritesPend(false);
  EXPECT_TRUE(Port->SendData("x", 1));
  ASSERT_TRUE(PumpUntil([&] { return !Port->SendInProgress(); }));
  EXPECT_EQ(Sim.Sent(), "x");
}

TEST_F(SerialPortTest, AWriteIsInProgressOnlyOnceItIsArmed) {
  Make();
  Record(Port->OnWriteDone, "done");
  Open();
  ASSERT_TRUE(Port->SendData("first", 5));
  ASSERT_TRUE(PumpUntil([&] { return Count("done") == 1; }));
  // The record holds the finished first write. A refused write must not
  // leave the port in progress with it, or a pass would report it done.
  Driver.InjectFailure(poWriteFile, 31);
  EXPECT_FALSE(Port->SendData("second", 6));
  EXPECT_FALSE(Port->SendInProgress());
  Passes(3);
  EXPECT_EQ(Count("done"), 1);
  EXPECT_EQ(Port->WrittenBytes(), 5u);
}

// ------------------------------------------------------------ closing and destruction

TEST_F(SerialPortTest, ClosingWithAPendingReadSignalsItAndReportsAFailedSignal) {
  Make();
  Open();
  Sim.SetReadsPend(true);
  Sim.Receive("abc");
  Port->SetReadRequest(true);
  ASSERT_TRUE(PumpUntil([&] { return Sim.ReadPending(); }));
  // The purge would end the read itself; without it the worker must signal.
  Driver.InjectFailure(poPurgeComm, 31);
  Driver.InjectFailure(poSetEvent, 32, -1);
  Port->SetActive(false);
  ASSERT_TRUE(PumpUntil([&] { return Log.HasPlace(1101); }));
  EXPECT_EQ(Log.CodeOf(1101, "Error setting Overlapped Event"), 32u);
  Driver.ClearFailures();
  EXPECT_TRUE(PumpUntil([&] { return !Port->ThreadIsRunning(); }));
}

TEST_F(SerialPortTest, DestructionWithThePortOpenAndAWaitPendingClosesEverything) {
  Make();
  Open();
  Sim.SetReadsPend(true);
  Sim.Receive("abc");
  Port->SetReadRequest(true);
  ASSERT_TRUE(PumpUntil([&] { return Sim.ReadPending() && Sim.WaitPending(); }));
  Port.reset();
  EXPECT_FALSE(Sim.IsOpen());
  EXPECT_FALSE(Sim.DTR());
  EXPECT_EQ(Driver.Calls(poCloseEvent), 3u);
}

TEST_F(SerialPortTest, DestructionJoinsAHeldBackWorkerBeforeClosingItsEvents) {
  Make();
  int handled = 0;
  Port->OnCTSEvent = [&](core::TObject*) { ++handled; };
  Open();
  Sim.SetCTS(true);
  ASSERT_TRUE(test::WaitWithoutPumping([] { return core::MainThread::Pending() > 0; }));
  Driver.SetLogging(true);
  Port.reset();
  const std::vector<TPortOp> log = Driver.CallLog();
  const auto firstClose = std::find(log.begin(), log.end(), poCloseEvent);
  ASSERT_NE(firstClose, log.end());
  // Nothing but the event closes after the first of them: the worker was gone.
  EXPECT_TRUE(std::all_of(firstClose, log.end(), [](TPortOp Op) { return Op == poCloseEvent; }));
  EXPECT_EQ(handled, 0);  // no event runs once destruction has begun
}

TEST_F(SerialPortTest, ClustersLeftInTheListAreFreedWithTheComponent) {
  Make();
  Open();
  Sim.Receive("left");
  Port->SetReadRequest(true);
  ASSERT_TRUE(PumpUntil([&] { return Port->ClusterCount() == 1; }));
  Port.reset();  // the sanitizer build finds a leak here if they are not
}

}  // namespace
}  // namespace serial
