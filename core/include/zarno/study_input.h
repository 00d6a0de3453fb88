// The data and uncertainties of a study read from files as every front end
// reads them (`zarno run`, the kit's Dataset.read): both tables read at once,
// the uncertainties checked against the data (same samples and genes, in
// order), a control file's dimensions against the data, and the values
// checked by the core (CheckDataset), each fault named in its file.
#ifndef ZARNO_STUDY_INPUT_H
#define ZARNO_STUDY_INPUT_H

#include <string>

#include "zarno/api.h"
#include "zarno/cells.h"
#include "zarno/table_reader.h"

namespace zarno {

struct StudyInput {
    Table data, unc;
    bool weighted = false;
    Dataset set;  // views data and unc: keep the StudyInput where it is
    CellCounts cells;      // missing cells, genes and samples all zero
    double largest = 0.0;  // the largest observed magnitude, divided by its uncertainty or not

    StudyInput() = default;
    StudyInput(const StudyInput&) = delete;
    StudyInput& operator=(const StudyInput&) = delete;
};

// Reads `dataPath` and, when `uncertPath` is not empty, its uncertainties;
// `control` (or null) is the control file that named them. `allowMissing`:
// NA, NaN and empty fields are missing cells (ReadOptions), and the checks are
// those of data with missing cells (Dataset::allowMissing). Throws InputError
// naming the file, line and column of the first fault.
void ReadStudyInput(const std::string& dataPath, const std::string& uncertPath,
                    const ControlFile* control, StudyInput* in, bool allowMissing = false);

}  // namespace zarno

#endif
