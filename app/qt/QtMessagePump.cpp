#include "app/qt/QtMessagePump.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QTimer>

#include "core/MainThread.h"

namespace app::qt {

TQtMessagePump::TQtMessagePump() = default;
TQtMessagePump::~TQtMessagePump() = default;

void TQtMessagePump::ProcessMessages() {
  if (FJustPumped)
    FJustPumped = false;
  else
    QCoreApplication::processEvents(QEventLoop::AllEvents);
  core::MainThread::CheckSynchronize();
}

void TQtMessagePump::IdleWait(uint32_t Milliseconds) {
  if (core::MainThread::Pending() > 0) return;
  QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance();
  if (dispatcher == nullptr) {
    core::MainThread::WaitForCalls(Milliseconds);
    return;
  }
  // The timer bounds the wait; anything else that arrives ends it sooner.
  if (!FLimit) {
    FLimit = std::make_unique<QTimer>();
    FLimit->setSingleShot(true);
    FLimit->setTimerType(Qt::PreciseTimer);
  }
  FLimit->start(static_cast<int>(Milliseconds));
  dispatcher->processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
  FJustPumped = true;
}

void InstallMessagePump() {
  core::SetMessagePump([] {
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    core::MainThread::CheckSynchronize();
  });
  core::MainThread::SetWakeHook([] {
    if (QCoreApplication* application = QCoreApplication::instance())
      QMetaObject::invokeMethod(
          application, [] { core::MainThread::CheckSynchronize(); }, Qt::QueuedConnection);
  });
}

void RemoveMessagePump() {
  core::MainThread::SetWakeHook(nullptr);
  core::SetMessagePump(nullptr);
}

}  // namespace app::qt
