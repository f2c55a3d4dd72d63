#include "ui/event_list_model.h"

#include <algorithm>

#include "model/time_text.h"
#include "ui/tokens.h"
#include "ui/widgets.h"

namespace mf::ui {

namespace {
QString toQString(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

std::optional<int> rowOfSelection(const ContentView& content) {
  const auto& id = content.selectedEventID();
  if (!id) return std::nullopt;
  const auto index = content.events().indexOf(*id);
  if (!index) return std::nullopt;
  const auto& rows = content.visibleRows();
  const auto it = std::lower_bound(rows.begin(), rows.end(), static_cast<std::uint32_t>(*index));
  if (it == rows.end() || *it != *index) return std::nullopt;
  return static_cast<int>(it - rows.begin());
}
}  // namespace

EventListModel::EventListModel(ContentView& content, QObject* parent)
    : QAbstractListModel(parent), content_(content), rowCount_(static_cast<int>(content.visibleRows().size())) {}

void EventListModel::onChange(const Change& change) {
  const int now = static_cast<int>(content_.visibleRows().size());
  const bool reset = change.has(Change::visibleReset) || change.has(Change::eventsReplaced) ||
                     change.has(Change::switches) || change.has(Change::searchText) || now < rowCount_;
  if (reset) {
    beginResetModel();
    rowCount_ = now;
    endResetModel();
  } else if (now > rowCount_) {
    beginInsertRows(QModelIndex(), rowCount_, now - 1);
    rowCount_ = now;
    endInsertRows();
  }
  if (reset || change.has(Change::eventSelection)) {
    const std::optional<int> before = selectedRow_;
    selectedRow_ = rowOfSelection(content_);
    if (!reset) {
      for (const auto& row : {before, selectedRow_}) {
        if (row && *row < rowCount_) emit dataChanged(index(*row), index(*row), {SelectedRole});
      }
    }
  }
}

int EventListModel::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : rowCount_; }

QVariant EventListModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= rowCount_ || index.column() != 0) return {};
  const auto& rows = content_.visibleRows();
  if (static_cast<std::size_t>(index.row()) >= rows.size()) return {};
  const EventView event = content_.events()[rows[index.row()]];
  const std::string_view typeLabel = label(event.type);
  const QString labelText = QString::fromLatin1(typeLabel.data(), static_cast<qsizetype>(typeLabel.size()));
  switch (role) {
    case Qt::DisplayRole:
    case MessageRole: return toQString(event.message);
    case Qt::AccessibleTextRole:
      return QString::fromStdString(formatTime(event.time)) + QLatin1Char(' ') + labelText + QLatin1Char(' ') +
             toQString(event.source) + QLatin1Char(' ') + toQString(event.message);
    case Qt::ToolTipRole:
      return plainToolTip(QString::fromStdString(formatTime(event.time)) + QLatin1Char(' ') + labelText +
                          QLatin1Char(' ') + toQString(event.source) + QLatin1Char(' ') + toQString(event.message));
    case Qt::ForegroundRole: return colors::forType(event.type);
    case TimeRole: return QString::fromStdString(formatTime(event.time));
    case TypeLabelRole: return labelText;
    case SourceRole: return toQString(event.source);
    case RoutineNoiseRole: return event.isRoutineNoise;
    case EventIdRole: return QString::fromStdString(event.id->toString());
    case SelectedRole: return selectedRow_ && *selectedRow_ == index.row();
    default: return {};
  }
}

QHash<int, QByteArray> EventListModel::roleNames() const {
  auto names = QAbstractListModel::roleNames();
  names[TimeRole] = "time";
  names[TypeLabelRole] = "typeLabel";
  names[SourceRole] = "source";
  names[MessageRole] = "message";
  names[RoutineNoiseRole] = "isRoutineNoise";
  names[EventIdRole] = "eventId";
  names[SelectedRole] = "selected";
  return names;
}

}  // namespace mf::ui
