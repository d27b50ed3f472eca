// Symbol-level motion: spins to a symbol or by a number of symbols, the
// synchronising spin, skill spins that start at a definition speed and stop
// on a symbol, and the status with the nearest symbol.  The computations live
// in reel_geometry.h; the methods here check arguments, call them, send the
// board commands and store the status codes.
//
// Every operation needs a reel configured from its definition.  A decoded
// definition holds 1 to 25 speed entries; a reel only declared with
// ConfigureReels, or whose last VendorConfigureReel failed once it had begun
// rewriting the record, has none.  Such a reel is refused with
// ReelMsgReelDataError before anything is sent.
#include "yarvo.h"

#include "reel_geometry.h"

namespace geo = yarvo::geometry;

namespace {

bool hasDefinition(const ReelDataDef& d) { return d.rampTableCount != 0; }

}  // namespace

bool Yarvo::findNearestSymbol(unsigned char* symbol, unsigned int* distance, SymbolTableDef* table,
                              unsigned int position, bool forward) {
    geo::SymbolHit hit;
    if (!geo::nearestSymbol(*table, position, forward, &hit)) {
        setLastError(ReelMsgReelDataError);
        return false;
    }
    if (distance != nullptr) {
        *distance = hit.distance;
    }
    if (symbol != nullptr) {
        *symbol = hit.symbol;
    }
    return true;
}

unsigned int Yarvo::calcInterSymbolSteps(SymbolTableDef* table, unsigned char from, unsigned char to,
                                         bool forward) {
    return geo::interSymbolDistance(*table, from, to, forward);
}

RampTableDef* Yarvo::findNearestSpeed(signed char* stepMode, ReelDataDef* data, unsigned char reel,
                                      int speed) {
    RampTableDef* table = &data->rampTables[geo::nearestSpeedIndex(*data, speed)];
    if (!geo::speedInForce(currentSpeed[reel], table->speed)) {
        if (!SpinRampUp(reel, &table->rampUp) || !SpinRampDown(reel, &table->rampDown)) {
            return nullptr;
        }
    }
    const bool backward = speed < 0;
    const signed char size = geo::stepSize(*table);
    currentSpeed[reel] = geo::signedSpeed(table->speed, backward);
    reelDirection[reel] = backward ? 0 : 1;
    *stepMode = backward ? static_cast<signed char>(-size) : size;
    return table;
}

RampTableDef* Yarvo::findAlternativeSpeed(signed char* stepMode, ReelDataDef* data, unsigned char reel,
                                          unsigned int move, int speed) {
    const int index = geo::alternativeSpeedIndex(*data, move, speed);
    if (index < 0) {
        return nullptr;
    }
    RampTableDef* table = &data->rampTables[index];
    *stepMode = geo::stepSize(*table);
    if (geo::speedInForce(currentSpeed[reel], table->speed)) {
        return table;
    }
    if (!SpinRampUp(reel, &table->rampUp) || !SpinRampDown(reel, &table->rampDown)) {
        return nullptr;
    }
    const bool backward = speed < 0;
    reelDirection[reel] = backward ? 0 : 1;
    currentSpeed[reel] = geo::signedSpeed(table->speed, backward);
    return table;
}

bool Yarvo::VendorSpinReelToSymbol(unsigned char reel, unsigned int symbol, int speed) {
    if (!isReelNumberValid(reel)) {
        return false;
    }
    ReelDataDef& def = reelData[reel];
    SymbolTableDef& symbols = def.symbolTable;
    // Without a definition there is no symbol table to test the symbol
    // number against: the reel is refused as having no reel data.
    if (!hasDefinition(def)) {
        setLastError(ReelMsgReelDataError);
        return false;
    }
    if (symbol >= symbols.symbolsPerTurn) {
        setLastError(ReelMsgBadParameter);
        return false;
    }

    KReelStatus status;
    if (!GetReelStatus(reel, &status)) {
        return false;
    }
    signed char mode = 0;
    if (findNearestSpeed(&mode, &def, reel, speed) == nullptr) {
        return false;
    }
    const bool forward = speed >= 0;
    const unsigned char size = static_cast<unsigned char>(forward ? mode : -mode);

    unsigned char nearest = 0;
    unsigned int toNearest = 0;
    if (!findNearestSymbol(&nearest, &toNearest, &symbols, status.position, forward)) {
        return false;
    }
    uint32_t move = toNearest + calcInterSymbolSteps(&symbols, nearest, static_cast<unsigned char>(symbol), forward);
    move = geo::stretchShortMove(move, geo::turnLength(symbols), size, rampUpLength[reel], rampDownLength[reel]);

    reelDirection[reel] = forward ? 1 : 0;
    return forward ? SpinReelStepForward(reel, size, move / size) : SpinReelStepBack(reel, size, move / size);
}

bool Yarvo::VendorSpinReelNumberOfSymbols(unsigned char reel, unsigned int count, int speed) {
    if (!isReelNumberValid(reel)) {
        return false;
    }
    if (speed == 0 || count == 0) {
        setLastError(ReelMsgBadParameter);
        return false;
    }
    ReelDataDef& def = reelData[reel];
    SymbolTableDef& symbols = def.symbolTable;
    if (!hasDefinition(def)) {
        setLastError(ReelMsgReelDataError);
        return false;
    }

    signed char mode = 0;
    if (findNearestSpeed(&mode, &def, reel, speed) == nullptr) {
        return false;
    }
    const bool forward = speed > 0;
    unsigned char size = static_cast<unsigned char>(forward ? mode : -mode);
    KReelStatus status;
    if (!GetReelStatus(reel, &status)) {
        return false;
    }
    unsigned char nearest = 0;
    unsigned int toNearest = 0;
    if (!findNearestSymbol(&nearest, &toNearest, &symbols, status.position, forward)) {
        return false;
    }
    uint32_t move = 0;
    if (!geo::symbolCountMove(symbols, nearest, toNearest, count, forward, &move)) {
        // Far beyond any step count the board accepts.
        setLastError(ReelMsgBadStepCount);
        return false;
    }
    if (!geo::rampsFit(move, size, rampUpLength[reel], rampDownLength[reel])) {
        if (findAlternativeSpeed(&mode, &def, reel, move, speed) == nullptr) {
            setLastError(ReelMsgNoSuitableSpeed);
            return false;
        }
        size = static_cast<unsigned char>(mode);
    }

    reelDirection[reel] = forward ? 1 : 0;
    return forward ? SpinReelStepForward(reel, size, move / size) : SpinReelStepBack(reel, size, move / size);
}

bool Yarvo::VendorSynchroniseReel(unsigned char reel) {
    if (!isReelNumberValid(reel)) {
        return false;
    }
    if (!hasDefinition(reelData[reel])) {
        setLastError(ReelMsgReelDataError);
        return false;
    }
    if (!synchroniseEnable(reel, 1)) {
        return false;
    }
    // To the nearest symbol ahead, then two whole turns and one symbol.
    const unsigned count = 2u * reelData[reel].symbolTable.symbolsPerTurn + 1u;
    return VendorSpinReelNumberOfSymbols(reel, count, 70);
}

bool Yarvo::VendorSpinReelStartSkill(unsigned char reel, int speed) {
    if (!isReelNumberValid(reel)) {
        return false;
    }
    if (speed == 0) {
        setLastError(ReelMsgBadParameter);
        return false;
    }
    ReelDataDef& def = reelData[reel];
    if (!hasDefinition(def)) {
        setLastError(ReelMsgReelDataError);
        return false;
    }
    signed char mode = 0;
    if (findNearestSpeed(&mode, &def, reel, speed) == nullptr) {
        return false;
    }
    reelDirection[reel] = mode > 0 ? 1 : 0;
    return SpinStartSkill(reel, static_cast<char>(mode));
}

bool Yarvo::VendorSpinReelStopSkill(unsigned char reel) {
    if (!isReelNumberValid(reel)) {
        return false;
    }
    ReelDataDef& def = reelData[reel];
    SymbolTableDef& symbols = def.symbolTable;
    uint32_t lead = 0;
    if (!hasDefinition(def) || !geo::skillStopLead(symbols, rampDownLength[reel], &lead)) {
        setLastError(ReelMsgReelDataError);
        return false;
    }
    KReelStatus status;
    if (!GetReelStatus(reel, &status)) {
        return false;
    }
    const bool forward = reelDirection[reel] != 0;
    const uint32_t turn = geo::turnLength(symbols);
    const uint16_t predicted = geo::predictedStop(status.position, lead, turn, forward);
    unsigned int toSymbol = 0;
    if (!findNearestSymbol(nullptr, &toSymbol, &symbols, predicted, forward)) {
        return false;
    }
    return StopCurrentSpinAtPosition(reel, geo::positionOn(predicted, toSymbol, turn, forward));
}

bool Yarvo::VendorStopReelSpinAtPosition(unsigned char reel, unsigned int symbol) {
    if (!isReelNumberValid(reel)) {
        return false;
    }
    ReelDataDef& def = reelData[reel];
    if (!hasDefinition(def)) {
        setLastError(ReelMsgReelDataError);
        return false;
    }
    if (symbol >= def.symbolTable.symbolsPerTurn) {
        setLastError(ReelMsgBadParameter);
        return false;
    }
    return StopCurrentSpinAtPosition(reel, def.symbolTable.symbolPositions[symbol]);
}

bool Yarvo::VendorGetReelStatus(unsigned char reel, KReelStatusEx* status) {
    if (!isReelNumberValid(reel)) {
        return false;
    }
    if (status == nullptr) {
        setLastError(ReelMsgNullPointer);
        return false;
    }
    if (!hasDefinition(reelData[reel])) {
        setLastError(ReelMsgReelDataError);
        return false;
    }
    KReelStatus basic;
    if (!GetReelStatus(reel, &basic)) {
        return false;
    }
    status->position = basic.position;
    status->statusWord1 = basic.statusWord1;
    status->statusByte1 = basic.statusByte1;
    status->statusByte2 = basic.statusByte2;
    status->statusByte3 = basic.statusByte3;
    status->statusWord2 = basic.statusWord2;

    uint32_t symbol = 0;
    signed char offset = 0;
    if (!geo::nearestSymbolEitherWay(reelData[reel].symbolTable, basic.position, &symbol, &offset)) {
        setLastError(ReelMsgReelDataError);
        return false;
    }
    status->nearestSymbol = symbol;
    status->symbolOffset = offset;
    status->reelSpeed = currentSpeed[reel];
    return true;
}
