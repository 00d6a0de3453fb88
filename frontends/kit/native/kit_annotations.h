// Sample annotations between the kit and the core (zarno/annotations.h,
// zarno/agreement.h): the kit's Annotations as the core's table, a table read
// from a file as the kit's parts, and an agreement as the kit's objects. The
// rules of jni_support.h hold throughout.
#ifndef ZARNO_KIT_ANNOTATIONS_H
#define ZARNO_KIT_ANNOTATIONS_H

#include <jni.h>

#include "zarno/agreement.h"
#include "zarno/annotations.h"

namespace zarno::kit {

// Annotations.parts() as the core's table and options, matched to the
// samples; false with an exception pending (a refusal of the core's matching
// is IllegalArgumentException in its words).
bool MatchedAnnotations(JNIEnv* env, jobjectArray parts, const std::vector<std::string>& samples,
                        Annotations* to);

// A table read from a file as Annotations.read takes it: {source, label
// header, columns, labels, cells row-major, positions}; null with an
// exception pending.
jobjectArray AnnotationParts(JNIEnv* env, const AnnotationTable& table);

// The agreement as a zarno.kit.Agreement; null with an exception pending.
jobject AgreementObject(JNIEnv* env, const Annotations& annotations, const Agreement& agreement);

}  // namespace zarno::kit

#endif
