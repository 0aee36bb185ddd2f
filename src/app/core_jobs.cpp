#include "app/jobs.h"

namespace kestrel::app {
namespace {

// The jobs of the program, over the collection, SMTP and POP3 parts.
class CoreJobs : public Jobs {
 public:
  bool BuildList(const config::Configuration&, outbound::SendList& list, Logger& logger) override {
    list.Clear();
    logger.LogLine(Side::Sending, "-- Outbound collection is not part of this build");
    return false;
  }
  JobOutcome RunSendJob(JobContext& context) override {
    context.logger().LogLine(Side::Sending, "-- Sending is not part of this build");
    return {true};
  }
  JobOutcome RunGetJob(JobContext& context) override {
    context.logger().LogLine(Side::Receiving, "-- Receiving is not part of this build");
    return {true};
  }
};

}  // namespace

std::unique_ptr<Jobs> MakeCoreJobs() {
  return std::make_unique<CoreJobs>();
}

}  // namespace kestrel::app
