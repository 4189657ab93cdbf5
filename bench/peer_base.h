// The few declarations a Faust-generated class expects from its architecture: the abstract
// processor, a user interface and a metadata sink. The peers build no interface; their
// parameters are constants of their programs, so every method here does nothing.
#pragma once

#ifndef FAUSTFLOAT
#define FAUSTFLOAT double
#endif

struct Soundfile;

struct Meta {
    virtual ~Meta() = default;
    virtual void declare(const char *, const char *) {}
};

struct UI {
    virtual ~UI() = default;
    virtual void openTabBox(const char *) {}
    virtual void openHorizontalBox(const char *) {}
    virtual void openVerticalBox(const char *) {}
    virtual void closeBox() {}
    virtual void addButton(const char *, FAUSTFLOAT *) {}
    virtual void addCheckButton(const char *, FAUSTFLOAT *) {}
    virtual void addVerticalSlider(const char *, FAUSTFLOAT *, FAUSTFLOAT, FAUSTFLOAT, FAUSTFLOAT, FAUSTFLOAT) {}
    virtual void addHorizontalSlider(const char *, FAUSTFLOAT *, FAUSTFLOAT, FAUSTFLOAT, FAUSTFLOAT, FAUSTFLOAT) {}
    virtual void addNumEntry(const char *, FAUSTFLOAT *, FAUSTFLOAT, FAUSTFLOAT, FAUSTFLOAT, FAUSTFLOAT) {}
    virtual void addHorizontalBargraph(const char *, FAUSTFLOAT *, FAUSTFLOAT, FAUSTFLOAT) {}
    virtual void addVerticalBargraph(const char *, FAUSTFLOAT *, FAUSTFLOAT, FAUSTFLOAT) {}
    virtual void addSoundfile(const char *, const char *, Soundfile **) {}
    virtual void declare(FAUSTFLOAT *, const char *, const char *) {}
};

class dsp {
public:
    virtual ~dsp() = default;
    virtual int getNumInputs() = 0;
    virtual int getNumOutputs() = 0;
    virtual void buildUserInterface(UI *) = 0;
    virtual int getSampleRate() = 0;
    virtual void init(int sample_rate) = 0;
    virtual void instanceInit(int sample_rate) = 0;
    virtual void instanceConstants(int sample_rate) = 0;
    virtual void instanceResetUserInterface() = 0;
    virtual void instanceClear() = 0;
    virtual dsp *clone() = 0;
    virtual void metadata(Meta *) = 0;
    virtual void compute(int count, FAUSTFLOAT **inputs, FAUSTFLOAT **outputs) = 0;
};
