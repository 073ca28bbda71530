#include "comm/CommJob.h"

void CommEvents::AttachTo(CommJob& job) {
    job.hOpenEvent = &open;
    job.hJobEvent = &this->job;
    job.hDoneEvent = &done;
    job.hStopEvent = &stop;
    job.hStoppedEvent = &stopped;
}
