// gps_data.cpp - GpsData: the GPS time stamp and position of a frame line.
#include "records/record_type.hpp"

namespace orx::records {
namespace {

using R = GpsDataRecord;

PyGetSetDef properties[] = {
    property("latitude", get<&R::Latitude, AsFloat>, "GpsData.latitude"),
    property("longitude", get<&R::Longitude, AsFloat>, "GpsData.longitude"),
    property("altitude", get<&R::Altitude, AsInt>, "GpsData.altitude"),
    property("satellite_num", get<&R::SatelliteNum, AsInt>, "GpsData.satellite_num"),
    property("year", get<&R::Year, AsInt>, "GpsData.year"),
    property("month", get<&R::Month, AsInt>, "GpsData.month"),
    property("day", get<&R::Day, AsInt>, "GpsData.day"),
    property("hour", get<&R::Hour, AsInt>, "GpsData.hour"),
    property("minute", get<&R::Minute, AsInt>, "GpsData.minute"),
    property("second", get<&R::Second, AsInt>, "GpsData.second"),
    property("m_second", get<&R::MSecond, AsInt>, "GpsData.m_second"),
    property("u_second", get<&R::USecond, AsInt>, "GpsData.u_second"),
    {},
};

const TypeSpec spec{"GpsData", "c_gps_data", properties};

} // namespace

PyTypeObject *ready_gps_data() { return RecordType<R>::ready(spec); }

} // namespace orx::records
