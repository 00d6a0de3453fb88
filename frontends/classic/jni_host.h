// The JVM side of the engine: host lookups and the exports into KQout that
// the classic entry and an engine made with a JNI environment share.
#ifndef ZARNO_JNI_HOST_H
#define ZARNO_JNI_HOST_H

#include <jni.h>

#include <string>

#include "L.h"
#include "zarno/api.h"

namespace zarno::classic {

// Sends one message to the host's guiPrint, looked up on obj's class. Returns
// 1, or 0 when the lookup or the call left a Java exception pending.
int SendToHost(JNIEnv* env, jobject obj, const char* text);

// Looks up an instance method of the host class c. When the class lacks it,
// the JVM's NoSuchMethodError, which names only the method, is replaced by one
// that names the class and the JNI signature too; null is returned with it
// pending.
jmethodID HostMethod(JNIEnv* env, jclass c, const char* name, const char* sig);

// The binary name of class c ("kqviewer.ZevuzuExp"); empty, with a Java
// exception pending, when it cannot be had.
std::string ClassName(JNIEnv* env, jclass c);

// What a run hands the host through the record's env, obj and KQout: the
// random start (its amplitudes and patterns), then the finished run (final
// matrices, the result record, and the result method with the record path).
// 1, or 0 with a Java exception pending or a refusal sent: the job stops.
int ExportRunStart(L& record, const RunView& start);
int ExportRunFinished(L& record, const RunView& run);

}  // namespace zarno::classic

#endif
