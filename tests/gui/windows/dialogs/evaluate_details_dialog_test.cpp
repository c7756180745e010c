// The evaluation report: the rows it derives from the ladder, the limit and
// an encoder's maximum, and the dialog as the evaluation dialog opens it
// (showDetails, modal), here without an engine, so with no encoder listed.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "evaluate_test_support.h"
#include "services/media.h"
#include "windows/dialogs/evaluate_details_dialog.h"

namespace {

std::vector<std::string> sizes_of(const std::vector<PkEvaluateReportRow> &rows)
{
    std::vector<std::string> out;
    for (const auto &row : rows)
        out.push_back(std::to_string(row.mode.width) + "x" + std::to_string(row.mode.height) + "@" +
                      std::to_string(row.mode.rateNumerator) + (row.passed ? "+" : "-"));
    return out;
}

const PkVideoMode kLimit{768, 768, 30, 1};

TEST(ReportRows, TheLimitKeepsTheModesWithinIt)
{
    const std::vector<PkVideoMode> ladder = pk_evaluation_mode_list();
    ASSERT_EQ(ladder.size(), 46u);
    const std::vector<std::string> expected = {
        "256x144@30-", "256x256@30-", "320x180@30-", "320x320@30-", "384x216@30-", "384x384@30-",
        "512x288@30-", "512x512@30-", "640x360@30-", "640x640@30-", "768x432@30-", "768x768@30-"};
    EXPECT_EQ(sizes_of(pk_evaluate_report_rows(ladder, kLimit, PkVideoMode{})), expected)
        << "1024x576 has the limit's area, not its size";
    for (const PkVideoMode &unlimited : {PkVideoMode{0, 0, 0, 0}, PkVideoMode{768, 768, 30, 0xFFFFFFFFu}})
        EXPECT_EQ(pk_evaluate_report_rows(ladder, unlimited, PkVideoMode{}).size(), 46u);
}

TEST(ReportRows, EveryModeBelowTheLastFittingOnePassed)
{
    const std::vector<PkVideoMode> ladder = pk_evaluation_mode_list();
    const struct {
        const char *purpose;
        PkVideoMode maximum;
        size_t passed;  // the first rows passed, the rest not
    } cases[] = {
        // 512x512 lies before 640x360 on the ladder, so it was passed too.
        {"up to 640x360", {640, 360, 30, 1}, 9},
        {"no trial passed", {64, 64, 1, 1}, 0},
        {"everything", {768, 768, 30, 1}, 12},
        {"a slower maximum", {768, 768, 25, 1}, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.purpose);
        const auto rows = pk_evaluate_report_rows(ladder, kLimit, c.maximum);
        ASSERT_EQ(rows.size(), 12u);
        for (size_t i = 0; i < rows.size(); i++) EXPECT_EQ(rows[i].passed, i < c.passed) << i;
    }
}

class DetailsDialog : public PiWindowTest {};

TEST_F(DetailsDialog, WithoutEncodersTheListAndTableStayEmpty)
{
    std::vector<PkVideoEncoderLimits> video(1);
    video[0].maximum = {640, 360, 30, 1};
    bool checked = false;
    Glib::signal_timeout().connect(
        [&]() -> bool {
            auto dialog = app->findWindow<EvaluateDetailsDialog>(nullptr, nullptr);
            if (!dialog || !dialog->get_visible()) return true;
            EXPECT_EQ(dialog->get_title(), "Details");
            EXPECT_EQ(dialog->titleLabel->get_text(),
                      "This is a detailed performance evaluation report. Please select a codec from the list to "
                      "display results.");
            EXPECT_EQ(dialog->okButton->get_label(), "Ok");
            const auto columns = dialog->detailsTreeview->get_columns();
            EXPECT_EQ(columns.size(), 3u);
            if (columns.size() == 3) {
                EXPECT_EQ(columns[0]->get_title(), "Resolution");
                EXPECT_EQ(columns[1]->get_title(), "Frequency");
                EXPECT_EQ(columns[2]->get_title(), "Test passed");
            }
            EXPECT_EQ(dialog->codecsCombobox->get_active_row_number(), -1);
            EXPECT_EQ(dialog->store->children().size(), 0u);
            // A row the media layer does not count as usable has no limits
            // to show: the table is left as it was.
            dialog->codecsCombobox->append("extra");
            dialog->codecsCombobox->set_active(0);
            EXPECT_EQ(dialog->store->children().size(), 0u);
            checked = true;
            dialog->okButton->clicked();
            return false;
        },
        10);
    auto dialog = EvaluateDialog::showDetails(gtkApp, nullptr, kLimit, {}, video);
    ASSERT_TRUE(dialog);
    EXPECT_TRUE(checked);
    EXPECT_FALSE(dialog->get_visible()) << "Ok closes the report";
    EXPECT_EQ(dialog->evaluationLimit.width, 768u);
    EXPECT_EQ(dialog->videoLimits.size(), 1u);
    EXPECT_TRUE(app->windows.empty());
}

TEST_F(DetailsDialog, AnotherApplicationGetsNoReport)
{
    Glib::RefPtr<Gtk::Application> plain = Gtk::Application::create("", Gio::APPLICATION_NON_UNIQUE);
    EXPECT_FALSE(EvaluateDialog::showDetails(plain, nullptr, kLimit, {}, {}));
}

}  // namespace
