// topctl's commands, one function each, and the views of the model and of
// the tasks that several of them print.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "Cli.h"
#include "ModelControlClient.h"
#include "Session.h"

namespace topctl {

typedef std::vector<std::string> Words;

// The model's flows and alarm records, and the tasks' view of their flows.
struct ModelView {
    TipprmiSequence<ModelControlClient::FlowState> flows;
    TipprmiSequence<ModelControlClient::AlarmRecord> alarms;
    // The last change received per (flow, condition).
    std::map<std::pair<unsigned long, long>, ModelControlClient::AlarmRecord> last;
    unsigned long batches = 0;
    // How many changes the model received since its records were cleared; it
    // keeps only the latest of them and each flow's last (alarms holds those).
    unsigned long received = 0;
    // The adapters of the tasks, by flow key.
    std::map<unsigned long, TopAdapterStatusClient::FlowStatus> adapters;
    std::vector<Task> tasks;

    // The conditions the model holds raised for a flow.
    std::vector<long> active(unsigned long key) const;
    unsigned long activeCount() const;
    ModelControlClient::FlowState const* flow(unsigned long key) const;
};

// `askDriver`: the task is first asked for fresh driver information (of the
// flow `only`, or of every flow when it is null); `withTasks`: the tasks'
// status objects are read too.
ModelView readModel(Session& s, bool askDriver, bool withTasks, unsigned long const* only = nullptr);
void flowsTable(ModelView const& v);
void flowsJson(JsonWriter& j, ModelView const& v);

Exit cmdFlows(Words& w);
Exit cmdFlow(Words& w);
Exit cmdSet(Words& w);
Exit cmdCreate(Words& w);
Exit cmdDelete(Words& w);
Exit cmdAlarms(Words& w);
Exit cmdPerf(Words& w);
Exit cmdMetrics(Words& w);
Exit cmdOrb(Words& w);
Exit cmdChip(Words& w);
Exit cmdWatch(Words& w);
Exit cmdMonitor(Words& w);
Exit cmdWait(Words& w);

// The chip's "ok a=1 b=x" reply as a JSON object; anything else as its text.
void chipJson(JsonWriter& j, std::string const& reply);
// The same as members of the object being written.
void chipMembers(JsonWriter& j, std::string const& reply);

}  // namespace topctl
