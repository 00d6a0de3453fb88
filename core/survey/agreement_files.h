// The agreement figures in the survey's files (private to core/survey/): the
// columns survey.tsv gains; survey.json's are in survey_files.h.
#ifndef ZARNO_CORE_AGREEMENT_FILES_H
#define ZARNO_CORE_AGREEMENT_FILES_H

#include <string>

#include "zarno/agreement.h"

namespace zarno {

// survey.tsv (one header line, then a line per count in the agreement's
// order) with the agreement's columns after its own: per column of
// categories ari_<name> and nmi_<name>, per column of numbers r_<name> (the
// pattern of largest |r|), then best_annotation.
std::string WithAgreementColumns(const std::string& tsv, const Annotations& annotations,
                                 const Agreement& agreement);

}  // namespace zarno

#endif
