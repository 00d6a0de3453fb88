// The JNI handle types the record keeps (env, obj, cls, meth, KQout), declared
// the way <jni.h> declares them for C++, so the engine compiles without a JDK.
// A source that also includes <jni.h> sees the same types: a typedef may be
// repeated when it names the same type.
#ifndef ZARNO_JNI_TYPES_H
#define ZARNO_JNI_TYPES_H

#ifndef _JAVASOFT_JNI_H_
class _jobject;
class _jclass;
struct _jmethodID;
struct JNIEnv_;
typedef _jobject* jobject;
typedef _jclass* jclass;
typedef struct _jmethodID* jmethodID;
typedef JNIEnv_ JNIEnv;
#endif

#endif
