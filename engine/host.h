// Where an engine's messages and results go. The engine calls its host where
// the classic job called the JVM; the JVM host (io_jni.cpp) keeps that job's
// behaviour, the core API (core/) collects results without a JVM.
#ifndef ZARNO_HOST_H
#define ZARNO_HOST_H

class io;
class L;

class EngineHost {
public:
    virtual ~EngineHost() = default;
    // A message of the record or the engine: 1 sent, 0 the job must stop.
    virtual int Message(io& record, const char* text) = 0;
    // Around one run, once its matrices are allocated: RunBegin before the
    // random start is used (0: the run does not take place), RunEnd after it,
    // whatever became of it.
    virtual int RunBegin(L& run) { (void)run; return 1; }
    virtual void RunEnd(L& run) { (void)run; }
    // The random start, before the first round; 0 stops the run.
    virtual int RunStarted(L& run) { (void)run; return 1; }
    // Whether the fit is taken at the start and every INTERM rounds (a pass
    // over the data each); FitTested then sees each, and 0 ends the rounds
    // there, the run finishing as complete.
    virtual bool WantsFitTests(L& run) { (void)run; return false; }
    virtual int FitTested(L& run) { (void)run; return 1; }
    // After every round; 0 cancels the run, which then never finishes.
    virtual int KeepGoing(L& run) { (void)run; return 1; }
    // The finished run: fit taken, patterns normalized, data scaled back.
    virtual int RunFinished(L& run) { (void)run; return 1; }
};

// The messenger of records that have no host attached but whose env, obj and
// meth a caller filled by hand (linking the sources for the file-driven mode):
// its Message speaks to the JVM through those members. The JNI front end
// registers one once per process; without it, such a record's messages go to
// standard output. Only Message is ever called on it.
void RegisterRecordMessenger(EngineHost* messenger);
EngineHost* RecordMessenger();

#endif
