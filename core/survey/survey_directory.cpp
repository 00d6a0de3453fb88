// The survey of runs read or described, with their annotations' agreement
// (see survey_files.h): what WriteSurvey writes and a front end holding its
// runs in memory shows.
#include "agreement_files.h"
#include "zarno/survey_files.h"

namespace zarno {

SurveyedDirectory SurveyDirectory(RunDirectory directory, const SurveyOptions& options,
                                  std::optional<Annotations> annotations)
{
    SurveyedDirectory out;
    out.directory = std::move(directory);
    out.annotations = std::move(annotations);
    const RunDirectory& d = out.directory;
    out.survey = RunSurvey(d.data, d.runs, options);
    out.json = SurveyJson(d, out.survey, options);
    out.tsv = SurveyTsv(out.survey);
    if (out.annotations) {
        // After the survey and from its results: the suggestion is made without them.
        out.agreement = AgreementOf(*out.annotations, out.survey);
        AddAgreementJson(*out.annotations, out.agreement, &out.json);
        out.tsv = WithAgreementColumns(out.tsv, *out.annotations, out.agreement);
    }
    return out;
}

}  // namespace zarno
