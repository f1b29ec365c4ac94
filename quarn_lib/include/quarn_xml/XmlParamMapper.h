#ifndef QUARN_XML_XML_PARAM_MAPPER_H
#define QUARN_XML_XML_PARAM_MAPPER_H

#include <algorithm>
#include <list>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include <quarn_xml/XmlParamDoc.h>

namespace quarn
{
namespace xml
{

/// Fills a configuration record of type T from a typed XML parameter document: each member is registered
/// once under an item name, and a load reads every registered item at <root tag name>/<item name>.
///
///   struct Config { int mode; VectorXd gains; };
///   XmlParamMapper<Config> mapper;
///   mapper.mapItem("mode", &Config::mode);
///   mapper.mapItem("gains", &Config::gains);
///   mapper.loadXmlString("<cfg><mode type=\"integer\" value=\"1\"/><gains type=\"vector\" value=\"1 2\"/></cfg>");
///   int mode = mapper.data().mode;    // 1
///
/// Every registered item is required. A load that fails at an item keeps the items read before it
/// (in visiting order: integers, reals, strings, booleans, vectors, matrices, word arrays; by name within each).
/// Only std::runtime_error leaves mapItem and loadXmlString.
template <typename T>
class XmlParamMapper
{
public:
  /// Value-initialised record, no items, root tag name taken from the first load.
  XmlParamMapper() : data_() {}
  /// Value-initialised record, no items; item paths begin with rootTagName (empty: taken from the first load).
  explicit XmlParamMapper(const std::string& rootTagName) : data_(), rootTagName_(rootTagName) {}

  /// Registers an "integer" item; throws if name is already registered with any type.
  void mapItem(const std::string& name, int T::*value) { mapItem(name, value, integers_); }
  /// Registers a "real" item; throws if name is already registered.
  void mapItem(const std::string& name, double T::*value) { mapItem(name, value, reals_); }
  /// Registers a "string" item; throws if name is already registered.
  void mapItem(const std::string& name, std::string T::*value) { mapItem(name, value, strings_); }
  /// Registers a "boolean" item; throws if name is already registered.
  void mapItem(const std::string& name, bool T::*value) { mapItem(name, value, booleans_); }
  /// Registers a "vector" item; a load resizes the member to the item's length.
  void mapItem(const std::string& name, VectorXd T::*value) { mapItem(name, value, vectors_); }
  /// Registers a "matrix" item; a load resizes the member to the item's shape.
  void mapItem(const std::string& name, MatrixXd T::*value) { mapItem(name, value, matrices_); }
  /// Registers a "word_array" item; throws if name is already registered.
  void mapItem(const std::string& name, std::vector<std::string> T::*value) { mapItem(name, value, wordArrays_); }

  /// Parses xmlDocument and stores every registered item into the record.
  void loadXmlString(const std::string& xmlDocument);

  /// The registered members of the record as a document text with root rootTagName, in visiting order;
  /// loadXmlString reads it back (empty vectors and matrices excepted: an item needs at least one number).
  std::string getXmlString() const;

  /// The record that loads fill in.
  T& data() { return data_; }
  /// Root element name that item paths begin with; empty until the first load unless set.
  std::string getRootTagName() const { return rootTagName_; }
  /// Sets the root element name that item paths begin with; an empty name is taken from the next load.
  void setRootTagName(const std::string& rootTagName) { rootTagName_ = rootTagName; }

private:
  template <typename M>
  using ItemMap = std::map<std::string, M T::*>;

  template <typename M>
  void mapItem(const std::string& name, M T::*value, ItemMap<M>& container);

  template <typename M>
  void loadItems(const XmlParamDoc& doc, const ItemMap<M>& items, M (XmlParamDoc::*get)(const std::string&) const);

  template <typename M, typename V>
  void writeItems(XmlParamDoc& doc, const ItemMap<M>& items,
                  void (XmlParamDoc::*add)(const std::string&, const std::string&, V)) const;

  T data_;
  std::string rootTagName_;
  ItemMap<int> integers_;
  ItemMap<double> reals_;
  ItemMap<std::string> strings_;
  ItemMap<bool> booleans_;
  ItemMap<VectorXd> vectors_;
  ItemMap<MatrixXd> matrices_;
  ItemMap<std::vector<std::string>> wordArrays_;
  std::list<std::string> itemNames_;
};

template <typename T>
template <typename M>
void XmlParamMapper<T>::mapItem(const std::string& name, M T::*value, ItemMap<M>& container)
{
  if (std::find(itemNames_.begin(), itemNames_.end(), name) != itemNames_.end())
    throw std::runtime_error("Name already used: " + name);
  itemNames_.push_back(name);
  container.emplace(name, value);
}

template <typename T>
void XmlParamMapper<T>::loadXmlString(const std::string& xmlDocument)
{
  XmlParamDoc doc;
  doc.loadXmlString(xmlDocument);
  if (rootTagName_.empty())
    rootTagName_ = doc.getRootTagName();

  loadItems(doc, integers_, &XmlParamDoc::getInteger);
  loadItems(doc, reals_, &XmlParamDoc::getReal);
  loadItems(doc, strings_, &XmlParamDoc::getString);
  loadItems(doc, booleans_, &XmlParamDoc::getBoolean);
  loadItems(doc, vectors_, &XmlParamDoc::getVector);
  loadItems(doc, matrices_, &XmlParamDoc::getMatrix);
  loadItems(doc, wordArrays_, &XmlParamDoc::getWordArray);
}

template <typename T>
template <typename M>
void XmlParamMapper<T>::loadItems(const XmlParamDoc& doc, const ItemMap<M>& items,
                                  M (XmlParamDoc::*get)(const std::string&) const)
{
  for (const auto& item : items)
    data_.*item.second = (doc.*get)(rootTagName_ + "/" + item.first);
}

template <typename T>
std::string XmlParamMapper<T>::getXmlString() const
{
  if (rootTagName_.empty())
    throw std::runtime_error("No root tag name");
  XmlParamDoc doc;
  doc.createEmptyDocument(rootTagName_);
  writeItems(doc, integers_, &XmlParamDoc::addInteger);
  writeItems(doc, reals_, &XmlParamDoc::addReal);
  writeItems(doc, strings_, &XmlParamDoc::addString);
  writeItems(doc, booleans_, &XmlParamDoc::addBoolean);
  writeItems(doc, vectors_, &XmlParamDoc::addVector);
  writeItems(doc, matrices_, &XmlParamDoc::addMatrix);
  writeItems(doc, wordArrays_, &XmlParamDoc::addWordArray);
  return doc.getXmlString();
}

template <typename T>
template <typename M, typename V>
void XmlParamMapper<T>::writeItems(XmlParamDoc& doc, const ItemMap<M>& items,
                                   void (XmlParamDoc::*add)(const std::string&, const std::string&, V)) const
{
  for (const auto& item : items)
    (doc.*add)(rootTagName_, item.first, data_.*item.second);
}

}  // namespace xml
}  // namespace quarn

#endif  // QUARN_XML_XML_PARAM_MAPPER_H
