#pragma once

#include <QThread>

// Base of the upload and download threads as the queue logic sees them when it tears a running
// transfer down: it asks the thread to stop, then waits for it. The `upload_thread` and
// `download_thread` items hold the address of this base.
class TransferThread : public QThread
{
public:
    using QThread::QThread;

    // Called on the GUI thread; the thread must notice it within its socket and file waits.
    virtual void SignalExit() = 0;
};
