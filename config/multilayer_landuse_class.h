#pragma once

#include <string>
#include <vector>

class DiagStream;

// One multilayer land-use type: the land-use codes of its layers from the
// top down, with its light extinction coefficient and leaf-area scale.
// Record 0 of the table holds the number of types in its code field.
class multilayer_landuse_class {
public:
  int getCode() const { return code; }
  void setCode(int value) { code = value; }
  const std::string& getName() const { return name; }
  void setName(const std::string& value) { name = value; }

  int getLayerCount() const { return static_cast<int>(layerCodes.size()) - 1; }
  // Entries 0 .. layer count; entry 0 is unused. A code at or below the
  // nodata value marks an empty layer. The code checks rewrite the codes
  // into land-use record indices and broadcast the whole list.
  std::vector<int>& getLayerCodes() { return layerCodes; }
  const std::vector<int>& getLayerCodes() const { return layerCodes; }

  double getK_extinct() const { return k_extinct; }
  double getLAI_scale() const { return LAI_scale; }

  friend void parseMultilayerEntry(multilayer_landuse_class& record, DiagStream* diag,
                                   const std::string& block, const std::string& where);

private:
  int code = 0;
  std::string name;
  std::vector<int> layerCodes = {0};
  double k_extinct = 0.3;
  double LAI_scale = 10.0;
};

// Fills a record from the keys of its brace block; failures are logged and
// thrown as 53.
void parseMultilayerEntry(multilayer_landuse_class& record, DiagStream* diag,
                          const std::string& block, const std::string& where);
