/*
 * yarvo.h - host interface of the K-Mora Yarvo Board reel controller.
 *
 * One class, Yarvo, drives one board: up to eight stepper-motor reels with
 * printed symbols and their lamps, 64 outputs and 24 inputs.  A host program
 * creates one Yarvo object per board, opens it with Init() or InitUSBBoard(),
 * declares its reels (ConfigureReels() for step-level use, or
 * VendorConfigureReel() per reel from the reel-definition file) and then
 * drives reels, lamps, outputs and inputs.
 *
 * Rules that hold for every operation
 * -----------------------------------
 *  - Results.  Every operation returns a bool, true on success.  On failure it
 *    stores a KReelMsg status code that GetLastError() returns.  A successful
 *    call never resets that code: only the constructor and Init() store
 *    ReelMsgOk, so read GetLastError() after a call has returned false.
 *  - Order of checks.  Arguments are tested before anything is sent to the
 *    board: the reel number first (above 7 gives ReelMsgBadReelNumber, a reel
 *    that is not configured ReelMsgReelNotConfigured), then pointers and ranges
 *    in the order each operation lists.  The first failing test decides the
 *    code and nothing is sent.
 *  - Composite operations.  An operation built on others stores no code of its
 *    own when an inner step fails: the inner step's code stands.  Nothing is
 *    undone: shadow state (ramp lengths, current speed, direction) is written
 *    before the command it mirrors and stays when that command fails.
 *  - Board commands.  Each board command is one ioctl exchange with the
 *    kernel driver.  A failed exchange stores ReelMsgTransferFailed (19), a
 *    response of a length outside 2..255 ReelMsgBadResponseLength (20), a
 *    response that does not echo the command or carries a non-zero status
 *    ReelMsgBadResponse (21).  Nothing is retried.
 *  - Synchronous.  Every call returns when its last board exchange is done;
 *    none waits for a reel to move or stop.  Follow a reel with
 *    GetReelStatus() or VendorGetReelStatus().
 *  - No exceptions leave the library, nothing is written to disk or logged,
 *    and nothing is allocated per board command.
 *  - Threads.  The library starts no threads and takes no locks.  Objects
 *    share nothing: several objects (one per board) may be used side by side
 *    from different threads; a host that calls one object from several
 *    threads serialises those calls itself.
 *  - Lifetime.  The board's device descriptor is held from a successful
 *    opening until the object is destroyed; Close() does nothing.  Buffers
 *    and records passed by the host are used during the call only.
 *
 * Units.  Reel positions count half steps within one turn (0 .. 2 x steps
 * per turn - 1), forward being the direction of rising positions.  A step
 * mode is -2, -1, 1 or 2: the sign is the direction, the magnitude the step
 * size in half steps.
 */
#ifndef YARVO_H
#define YARVO_H

#include <memory>

class TiXmlDocument;
class TiXmlNode;

/* Status codes.  The numbering has gaps; each code keeps its number. */
enum KReelMsg : unsigned int {
    ReelMsgOk = 0,                 /* no failure recorded */
    ReelMsgNullPointer = 2,        /* a required pointer argument is null */
    ReelMsgBadParameter = 3,       /* a numeric argument is out of range */
    ReelMsgInputOwnedByReel = 6,   /* the input belongs to a configured reel */
    ReelMsgOutputOwnedByReel = 7,  /* the output belongs to a configured reel */
    ReelMsgBadReelNumber = 8,      /* reel number above 7 */
    ReelMsgReelNotConfigured = 9,  /* the reel is not configured */
    ReelMsgBadRampLength = 12,     /* ramp table length not accepted */
    ReelMsgBadStepMode = 13,       /* step mode or step size not accepted */
    ReelMsgBadDutyCycle = 14,      /* duty-cycle off + on is 256 or more */
    ReelMsgBadStepCount = 15,      /* step count of 0x8000 or more */
    ReelMsgNoSuitableSpeed = 16,   /* no speed of the definition can make the move */
    ReelMsgTransferFailed = 19,    /* the driver's transfer request failed */
    ReelMsgBadResponseLength = 20, /* response length outside what is accepted */
    ReelMsgBadResponse = 21,       /* no echo of the command, or non-zero status */
    ReelMsgFileLoadFailed = 27,    /* reel-definition file failed to load or parse */
    ReelMsgPathTooLong = 28,       /* reel-definition path above 250 characters */
    ReelMsgReelTypeNotFound = 29,  /* no reel definition of the requested type */
    ReelMsgReelDataError = 30      /* reel definition incomplete or invalid, or a
                                      position that cannot be placed among the
                                      reel's symbols */
};

/* USB speed of the opened board, from its sysfs speed attribute. */
enum USBBoardSpeed : unsigned int {
    USBBoardSpeedNone = 0, /* no board probed, or its speed text was not recognised */
    USBBoardSpeedFull = 1, /* "12": full speed */
    USBBoardSpeedHigh = 2  /* "480": high speed */
};

/* Input numbers 0 to 23.  Inputs 0 to 7 belong to reels 0 to 7 while those
 * reels are configured.  Bits 0 to 2 of the third report byte (inputs 16 to
 * 18) carry the board's address. */
enum KReelInputBit : int {
    KReelInput0 = 0, KReelInput1, KReelInput2, KReelInput3,
    KReelInput4, KReelInput5, KReelInput6, KReelInput7,
    KReelInput8, KReelInput9, KReelInput10, KReelInput11,
    KReelInput12, KReelInput13, KReelInput14, KReelInput15,
    KReelInput16, KReelInput17, KReelInput18, KReelInput19,
    KReelInput20, KReelInput21, KReelInput22, KReelInput23
};

/* Output numbers 0 to 63.  Outputs 4r to 4r + 3 belong to reel r (0 to 7)
 * while that reel is configured; outputs 4r to 4r + 2 are its lamps. */
enum KReelOutputBit : int {
    KReelOutput0 = 0, KReelOutput1, KReelOutput2, KReelOutput3,
    KReelOutput4, KReelOutput5, KReelOutput6, KReelOutput7,
    KReelOutput8, KReelOutput9, KReelOutput10, KReelOutput11,
    KReelOutput12, KReelOutput13, KReelOutput14, KReelOutput15,
    KReelOutput16, KReelOutput17, KReelOutput18, KReelOutput19,
    KReelOutput20, KReelOutput21, KReelOutput22, KReelOutput23,
    KReelOutput24, KReelOutput25, KReelOutput26, KReelOutput27,
    KReelOutput28, KReelOutput29, KReelOutput30, KReelOutput31,
    KReelOutput32, KReelOutput33, KReelOutput34, KReelOutput35,
    KReelOutput36, KReelOutput37, KReelOutput38, KReelOutput39,
    KReelOutput40, KReelOutput41, KReelOutput42, KReelOutput43,
    KReelOutput44, KReelOutput45, KReelOutput46, KReelOutput47,
    KReelOutput48, KReelOutput49, KReelOutput50, KReelOutput51,
    KReelOutput52, KReelOutput53, KReelOutput54, KReelOutput55,
    KReelOutput56, KReelOutput57, KReelOutput58, KReelOutput59,
    KReelOutput60, KReelOutput61, KReelOutput62, KReelOutput63
};

/* Power status as the board reports it: one byte, zero-extended.  Its
 * meaning is the board firmware's. */
struct KReelPowerStatus {
    unsigned int value;
};

/* One ramp table: `length` entries in use out of 60.  The entries are sent
 * to the board unchanged; their meaning (step periods) is the firmware's. */
struct KReelRampTable {
    unsigned char length;
    unsigned char entries[60];
};

/* A reel's status as the board reports it (command 47).  `position` is the
 * reel's position in half steps; the other fields are passed through
 * unchanged and their meaning is the board firmware's. */
struct KReelStatus {
    unsigned short position;
    unsigned short statusWord1;
    unsigned char statusByte1;
    unsigned char statusByte2;
    unsigned char statusByte3;
    unsigned short statusWord2;
};

/* KReelStatus plus the symbol nearest to the reel (looking both ways), the
 * reel's position minus that symbol's position in half steps (low 8 bits of
 * the signed difference: negative before the symbol, positive past it) and
 * the speed last selected for the reel (negative for backward travel). */
struct KReelStatusEx {
    unsigned short position;
    unsigned short statusWord1;
    unsigned char statusByte1;
    unsigned char statusByte2;
    unsigned char statusByte3;
    unsigned short statusWord2;
    unsigned int nearestSymbol;
    signed char symbolOffset;
    int reelSpeed;
};

/* Board parameters of a reel type, as read from the reel-definition file. */
struct ReelParamDef {
    int positionDetectionMethod;
    int tamperDetectionMethod;
    unsigned char dutyCycleOff;
    unsigned char dutyCycleOn;
    unsigned char tabWidth;
    int tabType;
    unsigned char tabOffset;
    unsigned char errorDeadband;
};

/* Symbols of a reel type: one turn is 2 x stepsPerTurn half steps; symbol i
 * sits at symbolPositions[i] (half steps), for i below symbolsPerTurn. */
struct SymbolTableDef {
    unsigned int stepsPerTurn;
    unsigned char symbolsPerTurn;
    unsigned int symbolPositions[200];
};

/* One speed of a reel type: its speed, step type (1 full, 0 half) and the
 * ramp tables sent to the board when the speed is selected. */
struct RampTableDef {
    int speed;
    int stepType;
    KReelRampTable rampUp;
    KReelRampTable rampDown;
};

/* A reel type's whole definition. */
struct ReelDataDef {
    ReelParamDef params;
    SymbolTableDef symbolTable;
    unsigned char rampTableCount;
    RampTableDef rampTables[25];
};

class Yarvo {
public:
    /* A closed object: no board, no document, no reel configured, every reel
     * recorded as turning forwards.  Touches neither board nor file system. */
    Yarvo();
    /* Copies nothing: the new object is as freshly constructed; it never
     * shares or closes the source's descriptor. */
    Yarvo(Yarvo& other);
    /* Changes nothing and returns *this. */
    Yarvo& operator=(Yarvo& other);
    /* Closes the board's descriptor if one is held; sends nothing. */
    ~Yarvo();

    /* Does nothing and returns true: the descriptor stays open until the
     * object is destroyed. */
    bool Close();
    /* The code stored by the most recent failing check. */
    KReelMsg GetLastError();
    /* Copies "14" and a NUL into version.  Null: ReelMsgNullPointer. */
    bool GetDllVersion(unsigned char* version);
    /* Copies "3" and a NUL into version.  Null: ReelMsgNullPointer. */
    bool GetProductVersion(unsigned char* version);

    /* Opens the first board found among driver instances 0 to 15 (product
     * text "K-Mora Yarvo Board", speed "12" or "480", node opens).  Stores
     * ReelMsgOk before each probe, so a missing board leaves ReelMsgOk.
     * When no board is found the object holds none, not even one opened
     * before: later commands fail with ReelMsgTransferFailed. */
    bool Init();
    /* Opens the board whose address (bits 0-2 of input report byte 2) is
     * `address`, searching instances 0 to 7; each candidate's input report is
     * read (command 20).  address above 15: ReelMsgBadParameter, nothing
     * probed.  Never stores ReelMsgOk: after a failed search the code of the
     * last failed input report stands.  A failed search holds no board, not
     * even one opened before it: later commands fail with
     * ReelMsgTransferFailed until an opening succeeds. */
    bool InitUSBBoard(unsigned int address);
    /* The USB speed recorded by the last probe.  Null: ReelMsgNullPointer. */
    bool GetBoardSpeed(USBBoardSpeed* speed);

    /* Inputs 0-15 into *low (input n in bit n), 16-23 into *high (command 20).
     * Null pointer: ReelMsgNullPointer.  A report shorter than 3 bytes:
     * ReelMsgBadResponseLength. */
    bool GetInputs(unsigned short* low, unsigned char* high);
    /* One input (command 20).  Checks: input above 23 (also negative)
     * ReelMsgBadParameter; null state ReelMsgNullPointer; input 0-7 of a
     * configured reel ReelMsgInputOwnedByReel. */
    bool GetInputBit(KReelInputBit input, bool* state);
    /* The board's 16-bit changed-inputs value (command 21).  Null:
     * ReelMsgNullPointer; a reply shorter than 2 bytes:
     * ReelMsgBadResponseLength. */
    bool GetChangedInputs(unsigned short* changed);

    /* Sends both output words, each little-endian (command 23). */
    bool SetOutputs(unsigned int first, unsigned int second);
    /* Sends the four mask words in order, each little-endian (command 24).
     * The second word switches outputs on and the fourth off among the 32
     * outputs that carry the reel lamps; clear bits leave outputs alone. */
    bool ModifyOutputs(unsigned int first, unsigned int second,
                       unsigned int third, unsigned int fourth);
    /* One output on or off (command 22).  Checks: output outside 0-63
     * ReelMsgBadParameter; output 4r..4r+3 of a configured reel r
     * ReelMsgOutputOwnedByReel. */
    bool SetOutputBit(KReelOutputBit output, bool on);
    /* The three lamps of a configured reel on or off (ModifyOutputs with the
     * mask 7 << 4 x reel in the second or fourth word). */
    bool SetReelLamps(unsigned char reel, bool on);

    /* The firmware version bytes, unchanged and unterminated, into the
     * host's buffer of at least 253 bytes (command 10).  Null:
     * ReelMsgNullPointer. */
    bool GetFirmwareVersion(unsigned char* version);
    /* The power status byte, zero-extended (command 11).  Null:
     * ReelMsgNullPointer; a reply without payload: ReelMsgBadResponseLength. */
    bool GetPowerStatus(KReelPowerStatus* status);

    /* Declares reels 0 to count - 1 configured (command 40, payload: count,
     * param16 big-endian, low byte of stepsPerSymbol, param4, -param5).
     * Checks: count above 8 ReelMsgBadParameter (nothing changed); the flags
     * and stepsPerSymbol are then set, and a param4 of 0 or less fails with
     * ReelMsgBadParameter with them already set. */
    bool ConfigureReels(unsigned int count, unsigned int param16,
                        unsigned int stepsPerSymbol, char param4, char param5);
    /* Duty cycle of a reel (command 44).  off + on of 256 or more:
     * ReelMsgBadDutyCycle. */
    bool SetDutyCycle(unsigned char reel, unsigned char off, unsigned char on);
    /* Ramp-up table of a reel (command 42).  Null: ReelMsgNullPointer; length
     * 0 or above 60: ReelMsgBadRampLength.  The length is recorded first. */
    bool SpinRampUp(unsigned char reel, KReelRampTable* table);
    /* Ramp-down table of a reel (command 43).  Null: ReelMsgNullPointer;
     * length above 60: ReelMsgBadRampLength.  The length is recorded first. */
    bool SpinRampDown(unsigned char reel, KReelRampTable* table);
    /* Enables synchronisation of a reel, mode 0 (command 46). */
    bool ReelSynchroniseEnable(unsigned char reel);
    /* Clears a reel's tampered state (command 45). */
    bool ClearTamperedState(unsigned char reel);

    /* Spins a reel by stepCount motor steps of the given step mode (command
     * 41).  Checks: step mode outside -2, -1, 1, 2 ReelMsgBadStepMode; count
     * above 32767 ReelMsgBadStepCount. */
    bool SpinReels(unsigned char reel, char stepMode, unsigned int stepCount);
    /* SpinReels forwards/backwards with a step size of 1 or 2 (else
     * ReelMsgBadStepMode); count above 32767: ReelMsgBadStepCount. */
    bool SpinReelStepForward(unsigned char reel, unsigned char stepSize, unsigned int stepCount);
    bool SpinReelStepBack(unsigned char reel, unsigned char stepSize, unsigned int stepCount);
    /* SpinReels by symbols x the steps per symbol given to ConfigureReels;
     * a product of 0x8000 or more: ReelMsgBadStepCount. */
    bool SpinReelSymbolForward(unsigned char reel, unsigned char stepSize, unsigned char symbols);
    bool SpinReelSymbolBack(unsigned char reel, unsigned char stepSize, unsigned char symbols);
    /* Starts a skill spin (command 48); step mode as for SpinReels. */
    bool SpinStartSkill(unsigned char reel, char stepMode);
    /* Stops a skill spin where it lands (command 49). */
    bool SpinStopSkill(unsigned char reel);
    /* Stops the running spin at a position, low 16 bits sent (command 50). */
    bool StopCurrentSpinAtPosition(unsigned char reel, unsigned int position);

    /* A reel's status (command 47).  Null: ReelMsgNullPointer; a reply other
     * than 9 bytes: ReelMsgBadResponseLength.  The record is written only on
     * success. */
    bool GetReelStatus(unsigned char reel, KReelStatus* status);

    /* Loads the reel-definition file at path (at most 250 characters, else
     * ReelMsgPathTooLong).  A file that cannot be loaded or parsed gives
     * ReelMsgFileLoadFailed and leaves the previously loaded file in use.
     * Null: ReelMsgNullPointer.  Configured reels are not touched.
     * Besides what the XML parser rejects, ReelMsgFileLoadFailed is given
     * for what is not a regular file and for files the parser cannot read
     * safely: elements nested deeper than 64; in a file read as UTF-8, a
     * character in text or a quoted value that lacks continuation bytes or
     * is cut short by the end; a "&#" reference that is not digits and ';';
     * a byte above 0x7F where the parser's reading would depend on the
     * host's locale (in an unquoted attribute value, or in a declaration
     * outside quotes).  The text ends at its first NUL byte. */
    bool VendorSetReelFilePath(char* path);
    /* Configures a reel from the named reel type (type names compared
     * ignoring case): loads "tamso-reel-definitions.xml" from the working
     * directory if no file is loaded yet, decodes the type, marks the reel
     * configured and sends its parameters (command 51), duty cycle, and the
     * ramp tables of its first speed, which becomes the reel's current speed.
     * Codes: ReelMsgBadReelNumber, ReelMsgNullPointer, ReelMsgFileLoadFailed,
     * ReelMsgReelTypeNotFound, ReelMsgReelDataError (the definition is
     * incomplete or invalid, or steps-per-turn is 32768 or more; the reel
     * keeps its configured flag), or the code of a failing board step (the
     * reel is then left not configured).  A decode that changed the reel's
     * definition before it failed, and a failing board step, leave the reel
     * without a usable definition: every symbol-level operation on it fails
     * with ReelMsgReelDataError and sends nothing until a configuration of
     * the reel succeeds.  A failure that changed nothing leaves the
     * definition as it was. */
    bool VendorConfigureReel(unsigned char reel, char* type);

    /* Spins a reel configured from its definition to a symbol, at the
     * definition speed nearest to |speed| (negative: backwards, 0: forwards).
     * Reads the reel's status, may send the speed's ramp tables, adds one turn
     * when the move is shorter than the ramps need, then spins.  Codes:
     * reel checks, ReelMsgBadParameter (symbol not below the symbol count),
     * ReelMsgReelDataError (no definition, or a position outside the turn),
     * ReelMsgBadStepCount, and those of the board commands. */
    bool VendorSpinReelToSymbol(unsigned char reel, unsigned int symbol, int speed);
    /* Spins a reel by `count` symbols past the nearest symbol ahead in the
     * direction of travel.  Speed 0 or count 0: ReelMsgBadParameter.  A move
     * too short for the chosen speed's ramps takes the nearest speed whose
     * ramps fit, or fails with ReelMsgNoSuitableSpeed.  A move of 0x8000
     * motor steps or more fails with ReelMsgBadStepCount. */
    bool VendorSpinReelNumberOfSymbols(unsigned char reel, unsigned int count, int speed);
    /* Enables synchronisation (mode 1) and spins the reel forward two whole
     * turns and one symbol at the definition speed nearest to 70. */
    bool VendorSynchroniseReel(unsigned char reel);
    /* Starts a skill spin at the definition speed nearest to |speed|
     * (negative: backwards).  Speed 0: ReelMsgBadParameter. */
    bool VendorSpinReelStartSkill(unsigned char reel, int speed);
    /* Stops the running spin on the first symbol at or beyond a predicted
     * stop point ahead of the reel's position in its direction of travel.
     * A definition without symbols: ReelMsgReelDataError, nothing sent. */
    bool VendorSpinReelStopSkill(unsigned char reel);
    /* Stops the running spin on the named symbol's position.  Symbol not
     * below the symbol count: ReelMsgBadParameter. */
    bool VendorStopReelSpinAtPosition(unsigned char reel, unsigned int symbol);
    /* GetReelStatus plus the nearest symbol, the offset from it and the
     * reel's current speed.  Null: ReelMsgNullPointer.  A position that cannot
     * be placed among the symbols: ReelMsgReelDataError after the six status
     * fields have been written. */
    bool VendorGetReelStatus(unsigned char reel, KReelStatusEx* status);

private:
    void setLastError(KReelMsg code);
    bool isReelNumberValid(unsigned char reel);
    bool initPort(unsigned int instance);
    bool performUSBIO(unsigned char command, unsigned char* request,
                      unsigned long requestLength, unsigned char* response,
                      unsigned long* responseLength);
    bool getInputs(unsigned char* report);
    bool synchroniseEnable(unsigned char reel, unsigned char mode);
    TiXmlNode* seekReelData(TiXmlDocument* document, char* type);
    bool loadAllReelData(TiXmlNode* reelDef, ReelDataDef* data);
    bool decodeParams(TiXmlNode* params, ReelParamDef* data);
    bool decodeSymbolTable(TiXmlNode* symbolTable, SymbolTableDef* data);
    bool decodeRampTable(TiXmlNode* rampTable, RampTableDef* data);
    bool findNearestSymbol(unsigned char* symbol, unsigned int* distance,
                           SymbolTableDef* table, unsigned int position, bool forward);
    unsigned int calcInterSymbolSteps(SymbolTableDef* table, unsigned char from,
                                      unsigned char to, bool forward);
    RampTableDef* findNearestSpeed(signed char* stepMode, ReelDataDef* data,
                                   unsigned char reel, int speed);
    RampTableDef* findAlternativeSpeed(signed char* stepMode, ReelDataDef* data,
                                       unsigned char reel, unsigned int move, int speed);

    int deviceFd;
    USBBoardSpeed boardSpeed;
    KReelMsg lastError;
    unsigned int stepsPerSymbol;
    char reelFilePath[251];
    /* Parsed reel-definition file; null until a file has loaded.  Held by
     * pointer so that a failed load never destroys the good document. */
    std::unique_ptr<TiXmlDocument> reelDocument;
    bool reelDocumentLoaded;
    bool reelConfigured[8];
    ReelDataDef reelData[8];
    int currentSpeed[8];
    unsigned char reelDirection[8];
    unsigned char rampDownLength[8];
    unsigned char rampUpLength[8];
};

#endif /* YARVO_H */
