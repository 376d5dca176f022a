# horva example: a synthetic catchment of 60 x 80 cells of 100 m with three
# subbasins, hourly station data of five meteorological variables from 1 March
# to 30 June: snow on the heights, its melt, a dry spell in May, floods in April
# and June. Every module is on.
# Written by examples/make_catchment.py; run it from a work folder that holds a
# copy of this file, the input folder (or a link to it) and an empty output
# folder (scripts/run-example.sh does all of that).
#
# "#" starts a comment; "$set $name = value" defines a symbol used below.

$set $input = input/
$set $output = output/
$set $endday = 30
$set $endmonth = 6

[output_interval]
24  hours between two lines "model time" in the log
0   1: log a summary of every interpolated grid at every step
0   third output switch
60  min_to_int_end: a step's values cover the hour from its time stamp on
WriteAsciiGrids = 1
InitialStateDirectory = $input
DefaultOutputDirectory = $output

[output_list]
2  subbasins listed for statistics of mode 5 and 6
1
3

[coordinates]
47.30  latitude (degrees north)
8.90  longitude (degrees east)
15  reference meridian of the time zone
0  time shift of the data time to local time (hours)

[model_time]
0        start hour
1        start day
3        start month
2021     start year
23       end hour
$endday  end day
$endmonth        end month
2021     end year

[zone_grid]
zones.asc  subbasin codes 1, 2, 3; nodata outside the catchment

[elevation_model]
dem.asc  elevation in m

[standard_grids]
24  number of grids: file, name, keys
soil.asc     soil_types          fillcode = 0 readcode = 1
landuse.asc  landuse             fillcode = 0 readcode = 1
regions.asc  regression_regions  fillcode = 0 readcode = 1
ponding.asc  max_ponding_storage fillcode = 0 readcode = 1 statfile = max_ponding_storage.stat statcode = 2024
river_depth.asc  river_depth     fillcode = 0 readcode = 1
river_width.asc  river_width     fillcode = 0 readcode = 1
river_links.asc  river_links     fillcode = 0 readcode = 1
irrigation.asc   irrigation_codes fillcode = 0 readcode = 1
ice_firn.asc  ice_firn  fillcode = 0 readcode = 1
lake_codes.asc  lake_codes  fillcode = 0 readcode = 1
zones.asc  zonegrid_soilmodel  fillcode = 0 readcode = 1
aquifer_thickness.asc  aquifer_thickness_1  fillcode = 0 readcode = 1
gw_k_1.asc  gw_k_x_1  fillcode = 0 readcode = 1
gw_k_1.asc  gw_k_y_1  fillcode = 0 readcode = 1
gw_storage_coeff_1.asc  gw_storage_coeff_1  fillcode = 0 readcode = 1
gw_boundary_fix_h.asc  gw_boundary_fix_h_1  fillcode = 0 readcode = 1
gw_boundary_fix_q.asc  gw_boundary_fix_q_1  fillcode = 0 readcode = 1
aquifer_thickness.asc  aquifer_thickness_2  fillcode = 0 readcode = 1
gw_k_2.asc  gw_k_x_2  fillcode = 0 readcode = 1
gw_k_2.asc  gw_k_y_2  fillcode = 0 readcode = 1
gw_storage_coeff_2.asc  gw_storage_coeff_2  fillcode = 0 readcode = 1
gw_boundary_fix_h.asc  gw_boundary_fix_h_2  fillcode = 0 readcode = 1
gw_boundary_fix_q.asc  gw_boundary_fix_q_2  fillcode = 0 readcode = 1
gw_kolmation_1.asc  gw_kolmation_1  fillcode = 0 readcode = 1

[variable_grids]
0  number of grids that the sub-models change and write

[multilayer_landuse]
5     number of multilayer land uses: the codes of the grid landuse.asc
1 settlement { layers = 5 -9999; }
2 fields { layers = 2 -9999; }
3 meadows { layers = 1 -9999; }
4 deciduous forest { layers = 3 1; k_extinct = 0.5; LAI_scale = 10; }
5 coniferous forest { layers = 4 1; k_extinct = 0.5; LAI_scale = 10; }

[landuse_table]
5     number of land-use records (one layer each; [multilayer_landuse] stacks them)
1 grass {
  FixDays   = 15    105   135   255   285   345;
  LAI       = 1.0   1.5   3.5   3.5   2.0   1.0;
  VCF       = 0.7   0.8   0.95  0.95  0.85  0.7;
  RootDepth = 0.2   0.3   0.4   0.4   0.3   0.2;
  Albedo    = 0.22  0.22  0.2   0.2   0.22  0.22;
  Z0        = 0.02  0.03  0.1   0.1   0.05  0.02;
  RSC       = 90    80    60    60    70    90;
  RSI       = 10    10    10    10    10    10;
  RSE       = 250   250   250   250   250   250;
  VegStart = 100; VegStop = 290;
  SoilTillage = 95;
}
2 field crops {
  FixDays   = 15    110   160   210   240   345;
  LAI       = 0.5   0.5   3.0   4.5   1.0   0.5;
  VCF       = 0.1   0.2   0.8   0.95  0.3   0.1;
  RootDepth = 0.1   0.1   0.6   0.9   0.3   0.1;
  Albedo    = 0.18  0.18  0.2   0.22  0.2   0.18;
  Z0        = 0.01  0.01  0.1   0.2   0.05  0.01;
  RSC       = 100   100   60    55    80    100;
  RSI       = 10    10    10    10    10    10;
  RSE       = 200   200   250   250   200   200;
  VegStart = 110; VegStop = 240;
  SoilTillage = 110 121; SR_ResidCovrg = 0.1 0.1 0.2 0.3 0.1 0.1;
}
3 deciduous trees {
  FixDays   = 15    110   140   260   300   345;
  LAI       = 0.5   0.8   5.0   5.0   1.5   0.5;
  VCF       = 0.7   0.75  0.95  0.95  0.8   0.7;
  RootDepth = 1.2   1.2   1.2   1.2   1.2   1.2;
  Albedo    = 0.18  0.18  0.16  0.16  0.18  0.18;
  Z0        = 1.0   1.0   1.5   1.5   1.2   1.0;
  RSC       = 150   120   70    70    100   150;
  RSI       = 10    10    10    10    10    10;
  RSE       = 400   400   400   400   400   400;
  VegStart = 110; VegStop = 290;
  DynamicPhenology = 1; PhenoBaseTemp = 5; PhenoSearchStart = 60; PhenoStartSum = 180;
}
4 coniferous trees {
  FixDays   = 15    345;
  LAI       = 8.0   8.0;
  VCF       = 0.9   0.9;
  RootDepth = 1.0   1.0;
  Albedo    = 0.1   0.1;
  Z0        = 1.6   1.6;
  RSC       = 80    80;
  RSI       = 10    10;
  RSE       = 450   450;
}
5 sealed surface {
  FixDays   = 15    345;
  LAI       = 0     0;
  VCF       = 0     0;
  RootDepth = 0     0;
  Albedo    = 0.15  0.15;
  Z0        = 0.5   0.5;
  RSC       = 0     0;
  RSI       = 0     0;
  RSE       = 1000  1000;
}

[soil_table]
3     number of soil types: the codes of the grid soil.asc
1 alluvial loam {
  method = MultipleHorizons; layers = 3;
  thickness = 0.3 0.7 1.0;  ksat = 2.9e-6 2.0e-6 1.5e-6;
  theta_sat = 0.43 0.42 0.40;  theta_res = 0.078 0.075 0.07;
  alpha = 3.6 3.4 3.0;  Par_n = 1.56 1.5 1.45;
  GrainSizeDist = 0.4 0.4 0.15 0.05 0 0 0;
}
2 brown earth {
  method = MultipleHorizons; layers = 3;
  thickness = 0.2 0.5 0.8;  ksat = 1.2e-5 6.0e-6 3.0e-6;
  theta_sat = 0.41 0.40 0.38;  theta_res = 0.065 0.06 0.06;
  alpha = 7.5 6.0 5.0;  Par_n = 1.89 1.7 1.6;
  GrainSizeDist = 0.6 0.25 0.1 0.05 0 0 0;
}
3 stony shallow soil {
  method = MultipleHorizons; layers = 2;
  thickness = 0.15 0.35;  ksat = 4.0e-5 2.0e-5;
  theta_sat = 0.41 0.35;  theta_res = 0.057 0.05;
  alpha = 12.4 10.0;  Par_n = 2.28 2.0;
  GrainSizeDist = 0.5 0.2 0.1 0.1 0.1 0 0;
}

[irrigation]
1   on: the fields of the lower valley (grid irrigation_codes)
60  time interval in minutes
irrig_gw.stat 2024  water taken from groundwater (mm)
irrig_sw.stat 2024  water taken from surface water (mm)

[irrigation_table]
1
1 sprinkled_fields 2 1 0 0 starting from 5 10 with 12 mm to 6 28 with 12 mm every 6 day

[radiation_correction]
1   on: slope, aspect and the shadows of the terrain
60  time interval in minutes
1   method: slope and aspect with shading
tcorr.asc  corrected temperature
0   its write code
1.0  scaling factor of the temperature correction (K)
exkorr.asc  correction factor of the radiation
0   its write code
shadow.asc  shadows of the terrain
0   its write code
1   the correction every step
4   sub-intervals per step

[evapotranspiration]
1   on: Penman-Monteith per vegetation layer
60  time interval in minutes
1   method: 1 Penman-Monteith, 2 Hamon, 3 Wendling, 4 Haude (2 to 4 need one layer)
1.2 1.2 1.2 1.2 1.2 1.2 1.2 1.2 1.2 1.2 1.2 1.2  PEC of Hamon, January to December (dimensionless)
0.26 0.26 0.33 0.39 0.39 0.37 0.35 0.33 0.31 0.26 0.26 0.26  fh of Haude, January to December
0.5  fk, the coast factor of Wendling
etp.asc  potential transpiration (layer k: etp_Layer_k.asc; etp.asc the sum with the soil)
13  its write code: the sum over the run
etp.stat 2024  its statistics: daily means of every subbasin
etr.asc  real evapotranspiration (etr.asc the total)
13  write code
etr.stat 2024  statistics
evap.asc  potential soil evaporation
13  write code
evap.stat 2024  statistics
evar.asc  real soil evaporation
0  write code
evar.stat 0  statistics
evrs.asc  snow evaporation
0  write code
evrs.stat 0  statistics
eip.asc  potential interception evaporation
0  write code
eip.stat 0  statistics
rgex.stat 2024  statistics of the global radiation corrected for slope and aspect
0.2 0.6 0.2 0  CR: global over clear-sky radiation from the relative sunshine duration
0.072 -0.808 1.749 -0.239  CS: relative sunshine duration from that ratio
0.70 0.05  transmissivity of the day: tau0 + tau1 cos(2 pi day / 365)
1500  altitude scale of the daily temperature amplitude (m)
5 6 7 8 9 9 9 9 8 7 5 4  daily temperature amplitude per month (K)
0.6 0.0  day share of the amplitude, annual variability
cloudiness.stat 0  statistics of the cloudiness
HamonCorrectionOpenWater = 1.0

[interception_model]
1   on
60  time interval in minutes
1   method
throughfall.asc  throughfall
0  its write code
throughfall.stat 2024
eiact.asc  interception evaporation
0  its write code
eiact.stat 2024
intercept.asc  interception storage, for a warm start
3  its write code
intercept.stat 2024
0.35  storage per unit leaf area (mm)
0   interception readgrid

[snow_model]
1     on
60    time interval in minutes
5     method: energy balance
0.75  transzone: half-width of the rain/snow transition (K)
0.75  T0R: rain/snow threshold temperature (degrees C)
0.0   T0: melt threshold temperature (degrees C)
0.1   CWH: liquid water capacity of the snow
0.25  CRFR: refreezing coefficient
2.5   degree-day factor (mm/K/day)
1.5   temperature factor
0.5   wind factor
0.01  z0 of snow (m)
0.5   RMFMIN: least radiation melt factor
1.5   RMFMAX: largest radiation melt factor
0.45  ALBsnow_min
0.9   ALBsnow_max
rain.asc  rain
0  its write code
rain.stat 2024
snow.asc  snow
0  its write code
snow.stat 2024
snowdays.asc  days with snow, for a warm start
3  its write code
snowdays.stat 0
snowage.asc  snow age, for a warm start
3  its write code
snowage.stat 0
albedo.stat 0
snowout.asc  outflow of the snow cover
0  its write code
snowout.stat 2024
melt.asc  melt alone
0  its write code
melt.stat 0
snowstorage.asc  solid storage, for a warm start
3  its write code
liquidstorage.asc  liquid storage, for a warm start
3  its write code
swe.stat 2024
swe.asc  snow water equivalent, for a warm start
3  its write code
0     snow readgrid: 0 cold start, 1 the storages of a former run
snowtemp.asc  snow pack temperature
3     its write code: for a warm start
snowtemp.stat 0
surftemp.asc  snow surface temperature
3     its write code: for a warm start
surftemp.stat 0
slidein.asc  mass put into slides (no slides with this method)
0     its write code
slidein.stat 0
slidemobile.asc  mass moving in slides
0     its write code
slidemobile.stat 0
slidedepo.asc  deposition of slides
0     its write code
slidedepo.stat 0
55    maximum slope for deposition (degrees)
1     maximum deposition factor
30    minimum slope for slides (degrees)
0.01  slide mass fraction
1     correction of the incoming long-wave radiation
1     correction of the outgoing long-wave radiation
1     EnBalScaling: factor of the energy balance

[ice_firn]
1     Glacier-Method: degree days on glaciers that keep their extent
7.0   DDFice (mm/K/day)
5.5   DDFfirn (mm/K/day)
4.0   DDFsnow (mm/K/day)
1.5   MF: melt factor
0.0   Aice_min
0.0   Aice_max
0.0   Asnow_min
0.0   Asnow_max
12    kice_els: storage constant of the ice melt (h)
120   kfirn_els: storage constant of the firn melt (h)
48    ksnow_els: storage constant of the snow melt on glaciers (h)
0     initial Qice_els
0     initial Qfirn_els
0     initial Qsnow_els
firnmelt.asc  melt from firn
0  its write code
qfirn.stat 2024
icemelt.asc  melt from ice
0  its write code
qice.stat 2024
qglac.stat 2024

[SiltingUpModel]
1      on: the surface of tilled fields silts up under rain
60     time interval in minutes
2      method: the formula with the parameters below
sdisp.stat 2024  statistics SDISP
qdsu.stat 2024   statistics QDSU
sdisp.asc  silting-up disposition grid
3          its write code: for a warm start
rainpause.asc  RAINPAUSE grid
3              its write code: for a warm start
ekin.asc  EKIN grid
3         its write code: for a warm start
tsbb.asc  TSBB grid
3         its write code: for a warm start
qdsu.asc  QDSU grid
0         its write code
1 3    subbasin codes
0.25 0.1  minimum rain pause in days
0      readgrids
1.0    parameter A for method 2 (I_0)
0.2    parameter B for method 2 (I_inf)
0.52   parameter C for method 2 (I_inf)
-0.64  parameter D for method 2 (I_inf)
0.013  parameter E for method 2 (C_v)
-1.03  parameter F for method 2 (C_v)
0.7    parameter G for method 2 (C_v)
-0.19  parameter H for method 2 (C_v)

[unsatzon_model]
1     on
60    time interval in minutes
2     method: 2 fixed time step, 3 dynamic
0     surface water interaction off
1     ponding: max_ponding_storage is used
0     no drainage
0     no clay layer
1e-8  k_sat of a clay layer (m/s)
1     ini_gw_level: 1 puts the table at the top of the lowest layer
qdrain.stat 0  statistics QDRAIN
gwstand.stat 2024  statistics GWSTAND
gwn.stat 4024  statistics GWN
sb1.stat 2024  statistics SB_1_
sb2.stat 2024  statistics SB_2_
root.stat 2024  statistics ROOT
infex.stat 4024  statistics INFEX
pond.stat 2024  statistics POND
qd.stat 4024  statistics QD
qi.stat 4024  statistics QI
qb.stat 4024  statistics QB
qg.stat 4001  statistics Qg
gwin.stat 0  statistics GWIN
gwex.stat 0  statistics GWEX
macro.stat 0  statistics MACRO
infilt.stat 4024  statistics INFILT
sb05.asc  SB05
0  its write code
sb1.asc  SB1_
0  its write code
root.asc  WURZ
0  its write code
theta.stack  Theta
3  its write code
hh.stack  hh
3  its write code
hgeo.stack  hgeo
3  its write code
qdown.stack  q_unten
3  its write code
gwdist.asc  GWSTAND
3  its write code
gwtheta.asc  GWtheta
3  its write code
gwn.asc  GWN
13  its write code
gwlevel.asc  GWLEVEL
3  its write code
qdrain.asc  QDRAIN
0  its write code
satur.asc  saturation
0  its write code
infex.asc  infiltration excess
0  its write code
qd.asc  QD
13  its write code
qi.asc  QI
13  its write code
baseflow.asc  DELTAGW
3  its write code
gwin.asc  GWIN
0  its write code
gwex.asc  GWEX
0  its write code
pond.asc  POND
3  its write code
uprise.asc  GWN-Uprise
0  its write code
percol.asc  GWN-PERCOL
0  its write code
macro.asc  MACROPORE-Infiltration
0  its write code
irrig.asc  IRRIG
0  its write code
32 40  control point (row column)
uz_qbottom.txt  control point: Qbottom
uz_theta.txt  control point: Theta
uz_hhyd.txt  control point: hhyd
uz_otherdata.txt  control point: Otherdata
uz_etr.txt  control point: etr
uz_interflow.txt  control point: interflow
1 2 3  subbasin codes
2 3 2.5  kelsqd: storage constant of direct runoff (h)
30 40 35  kelsqi: storage constant of interflow (h)
1 1 1  channel network density
1.5 1.5 1.5  kelsqlat: recession constant of baseflow (m)
0.05 0.05 0.05  QB-Red.Faktor: largest baseflow (mm per step)
0.3 0.3 0.3  surface-runoff fraction of snowmelt
0     readgrid: 0 cold start, 1 the state grids and state file of a former run
unsatzon_state  state file (per process: _0, _1, ...)

[heat_transfer]
1   on
12  method: implicit, with the heat of the water
0
0
10  dTModLowBoundBase (degrees C)
-0.0065  dTModLapseRate (K/m)
800  dTModCDrySoil (J/(kg K))
1500  dTModRhoDrySoil (kg/m3)
0.3  dTModLamDrySoil (W/(m K))
1e-9  dTModKmin (m/s)
0.57  dTModLamWat (W/(m K))
2.2  dTModLamIce (W/(m K))
4187  dTModCWater (J/(kg K))
1950  dTModCIce20 (J/(kg K))
2100  dTModCIce0 (J/(kg K))
334000  dTModLatHeat (J/kg)
1000  dTModRhoWater (kg/m3)
124.6  dTModFactor (m/K)
0  dTModSEForStat
60  dTModShortestStep (s)
3600  dTModLongestStep (s)
1  dTModNFactorFreezing
1  dTModNFactorThawing
uz_temperature.txt  soil temperature at the control point
temper.stat 0  statistics
temper.stack  soil temperature stack
3   its write code: for a warm start
thaw.asc  thaw depth
0   its write code
se.stack  SE stack
0   its write code

[lake_model]
1      on: the cells of lake_codes hold their lake's water as ponding
1      initialization method: no change of grids
0.08   Albedo_OpenWater
0.001  z0_OpenWater (m)
0      readgrids: the lakes start from V0

[LayeredSnowModel]
1     on
1     method of layered snow model
400   dLayeredSnowMaxDensity
500   dLayeredSnowMaxDensity
-1    dTOffsetFreshSnow (K)
0     dDrainageDensitiySnow
0.1   dWaterHoldingCapacity
1     dSEeffectiveness
1     dSEeffectivenessSoil
swes.stack  solid water of the snow layers (mm)
3  its write code
swel.stack  liquid water of the snow layers (mm)
3  its write code
tempersnow.stack  temperature of the snow layers
3  its write code
thetasnow.stack  water content of the snow layers
3  its write code
hhydsnow.stack  hydraulic heads of the snow layers
3  its write code
hgeosnow.stack  geodetic heights of the snow layers
3  its write code
qusnow.stack  downward flux of the snow layers
3  its write code
thicksnow.stack  thickness of the snow layers
3  its write code
denssnow.stack  density of the snow layers
3  its write code
uppersnow.asc  index of the top snow layer
3  its write code

[LayeredSnowProperties]
1     number of snow types
1 snow {
  method = MultipleHorizons; layers = 3;
  thickness = 0.1 0.1 0.1;
  ksat = 1e-4 1e-4 1e-4;
  theta_sat = 0.9 0.9 0.9;
  theta_res = 0.0 0.0 0.0;
  alpha = 5.0 5.0 5.0;
  Par_n = 2.0 2.0 2.0;
  DensityDry = 400 400 400;
  HeatCapacityDry = 2100 2100 2100;
  DryThermalConduct = 0.1 0.1 0.1;
}

[SurfaceRoutingModel]
1  on: the ponded water flows from cell to cell to the rivers
60  time interval in minutes
2  method: the steepest of the eight neighbours
qdsr.stat 4001  direct runoff
qisr.stat 4001  interflow
qbsr.stat 4001  baseflow
qgsr.stat 4001  total runoff
velocity.stk  velocity stack
0  its write code
fluxes.stk  fluxes stack
0  its write code
0.0001  iteration error of the wake length (m)
20  its iteration limit
0.00001  iteration error of the velocity (m/s)
50  its iteration limit
1  shortest inner step (s)
100  longest inner step (s)
0.01  flow depth from which crop stems count (m)
1.0  concentration factor
0  read setting (the unsaturated zone's decides)
qssr.stat 4001  water on the land

[groundwater_flow]
1     on
60    time interval in minutes
1     method: successive over-relaxation
200   maxiter
1e-7  maxerror_allowed (m)
1     alpha
1.3   sor-parameter
0     grid read parameter: the heads start from the soil's table
2     number of layers
32 40  control point (row column)
gw_control.txt  control point file
1     Use-Pond-Flag
gw_head_1.asc  hydraulic heads of layer 1
3     its write code
gw_flow_x_1.asc  flow in x of layer 1
3     its write code
gw_flow_y_1.asc  flow in y of layer 1
3     its write code
gw_balance_1.asc  balance of layer 1
3     its write code
gw_head_2.asc  hydraulic heads of layer 2
3     its write code
gw_flow_x_2.asc  flow in x of layer 2
3     its write code
gw_flow_y_2.asc  flow in y of layer 2
3     its write code
gw_balance_2.asc  balance of layer 2
3     its write code

[routing_model]
1     on
60    time interval in minutes
1 1000 30 1  specific discharge of the tables from 1 to 1000 l/s/km2 in 30 intervals, 1 sub-interval
routed.stat 2001  routed discharge of every step
none  no observed discharge
0     column descriptors of observed discharge
0     steps left out of the comparison
TG 3 (AREA = 9.84, F = 1)
 SP 2 (file = lake_2.txt V0 = 1.4e5 C0 = 0 0 0 0 0 0 0 0 0 dTmin = 600)
TG 1 (AREA = 9.40, F = 1)
 OL 2 (K = 0.5, KF = 2, B = 5, BF = 50, T = 1, M = 25, MF = 15, I = 0.0598, L = 2280, A = 7.44)
 OL 3 (K = 0.5, KF = 2, B = 5, BF = 50, T = 1, M = 25, MF = 15, I = 0.0650, L = 3000, A = 9.84)
 SP 1 (file = reservoir_1.txt V0 = 1e5 C0 = 0 0 0 0 0 0 0 0 0 dTmin = 600)
 AL 1 = extern abstraction_1.txt 0.1 0.3 0.4 m3/s
end of the descriptions

[abstraction_rule_reservoir_1]
5
0 0
1e5 0.2
3e5 1.0
6e5 4.0
1.5e6 20.0

[abstraction_rule_reservoir_2]
5
0 0
1.2e5 0
1.5e5 0.5
2e5 3.0
3e5 15.0

[region_transition_distance]
500  metres over which the regions of regression_regions blend

[substance_transport]
0  number of tracers

[SpinUp]
0  no spin-up

[ExternalCoupling]
0  no external program

[meteo_data_count]
5  number of meteorological variables

[meteo_names]
temperature
precipitation
air_humidity
wind_speed
global_radiation

[temperature]
# lapse rate fitted per region; daily grids, mean, minimum, maximum
temperature.txt  station file (in the input directory)
2  method: 1 inverse distance weighting, 2 elevation regression per region
60  time step in minutes
-40 50  lower and upper limit
2 20000 8  IDW exponent, maximum distance (m), maximum number of stations
3  minimum number of stations per regression region
temperature.asc 355  output grid (in the output directory) and write code
[precipitation]
# daily sums and the sum of the last day
precipitation.txt  station file (in the input directory)
1  method: 1 inverse distance weighting, 2 elevation regression per region
60  time step in minutes
0 200  lower and upper limit
2 20000 6  IDW exponent, maximum distance (m), maximum number of stations
3  minimum number of stations per regression region
precipitation.asc 43  output grid (in the output directory) and write code
[air_humidity]
# a fraction; the mean over the run
air_humidity.txt  station file (in the input directory)
1  method: 1 inverse distance weighting, 2 elevation regression per region
60  time step in minutes
0 1  lower and upper limit
2 20000 5  IDW exponent, maximum distance (m), maximum number of stations
3  minimum number of stations per regression region
air_humidity.asc 53  output grid (in the output directory) and write code
[wind_speed]
# the mean over the run
wind_speed.txt  station file (in the input directory)
1  method: 1 inverse distance weighting, 2 elevation regression per region
60  time step in minutes
0 60  lower and upper limit
2 20000 5  IDW exponent, maximum distance (m), maximum number of stations
3  minimum number of stations per regression region
wind_speed.asc 53  output grid (in the output directory) and write code
[global_radiation]
# Wh/m2 per step; the sum over the run
global_radiation.txt  station file (in the input directory)
1  method: 1 inverse distance weighting, 2 elevation regression per region
60  time step in minutes
0 1400  lower and upper limit
2 20000 5  IDW exponent, maximum distance (m), maximum number of stations
3  minimum number of stations per regression region
global_radiation.asc 13  output grid (in the output directory) and write code

[precipitation_correction]
1         on: gauge undercatch grows with the wind speed
0.02 0.01 rain correction a and b
0.30 0.05 snow correction a and b
0.5       rain/snow threshold temperature (degrees C)
1.0       half-width of the transition (K)

[RegionalSuperposition]
1    on
60   time interval in minutes
1    number of rules
precipitation mul 1 12 1:1.05 2:1.0   five percent more in region 1 (the north)

[special_output]
1    on
60   time interval in minutes
3    number of outputs: row and column pairs of the outlet, Mitteldorf and Hochalm
{grid = temperature; file = points_temperature.txt; cells = 57 38 32 40 18 67;}
{grid = precipitation; file = points_precipitation.txt; cells = 57 38 32 40 18 67;}
{grid = global_radiation; file = points_global_radiation.txt; cells = 57 38 32 40 18 67;}
