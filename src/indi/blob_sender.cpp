#include "blob_sender.hpp"

#include <memory>
#include <thread>
#include <utility>

#include "eventloop.h"

namespace blobs {

namespace {

struct Job {
    std::function<void()> send, then;
};

void run(void *job_pointer) {
    std::unique_ptr<Job> job(static_cast<Job *>(job_pointer));
    std::thread(std::move(job->send)).join();
    if (job->then) job->then();
}

}  // namespace

void send_off_loop(std::function<void()> send, std::function<void()> then) {
    addImmediateWork(run, new Job{std::move(send), std::move(then)});
}

}  // namespace blobs
