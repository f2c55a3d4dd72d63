#pragma once

// An item model over the visible rows, for accessibility and for tools that
// want a model. It tracks the ContentView incrementally: appended rows arrive
// as row insertions, a refilter as one reset.

#include <QAbstractListModel>

#include "trace/content_view.h"

namespace mf::ui {

class EventListModel final : public QAbstractListModel {
 public:
  enum Role {
    TimeRole = Qt::UserRole + 1,
    TypeLabelRole,
    SourceRole,
    MessageRole,
    RoutineNoiseRole,
    EventIdRole,
    SelectedRole,
  };

  explicit EventListModel(ContentView& content, QObject* parent = nullptr);

  void onChange(const Change& change);

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QHash<int, QByteArray> roleNames() const override;

 private:
  ContentView& content_;
  // The count the views were told about. It lags the ContentView between an
  // append and the insert notification, which is what the notification protocol needs.
  int rowCount_ = 0;
  std::optional<int> selectedRow_;
};

}  // namespace mf::ui
